#pragma once

// What the stand-ins share: each record goes out as a JSON line when the
// environment names a file, and is kept in memory only while a test has
// switched recording on, so the shipped client holds nothing.

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <json/value.h>

#include "JsonLineFile.h"

namespace lxstandin {

template <typename TRecord>
class CRecordSink {
public:
    using ToJsonFn = Json::Value (*)(const TRecord&);

    CRecordSink(const char* szFileEnvName, ToJsonFn fnToJson) : m_szFileEnvName(szFileEnvName), m_fnToJson(fnToJson) {}

    // fnMakeRecord runs only when a file or a test wants the record, so a
    // record nobody watches costs one environment lookup.
    template <typename MakeRecord>
    void Hand(MakeRecord&& fnMakeRecord)
    {
        const char* szPath = FileNamedBy(m_szFileEnvName);
        const bool bRecording = m_bRecording.load(std::memory_order_relaxed);
        if (szPath == nullptr && !bRecording) {
            return;
        }
        TRecord record = std::forward<MakeRecord>(fnMakeRecord)();
        const std::string strLine = szPath != nullptr ? FormatJsonLine(m_fnToJson(record)) : std::string();

        // One lock for both keeps concurrent lines whole and in record order.
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (szPath != nullptr) {
            AppendToFile(szPath, strLine);
        }
        if (bRecording) {
            m_vtRecorded.push_back(std::move(record));
        }
    }

    // Switching off drops what is kept.
    void SetRecording(bool bRecording)
    {
        m_bRecording.store(bRecording);
        if (!bRecording) {
            Clear();
        }
    }

    // Every record kept since the last take or clear, oldest first.
    std::vector<TRecord> Take()
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return std::exchange(m_vtRecorded, {});
    }

    void Clear() { Take(); }

private:
    const char* m_szFileEnvName;
    ToJsonFn m_fnToJson;
    std::atomic<bool> m_bRecording{false};
    std::mutex m_mutex;
    std::vector<TRecord> m_vtRecorded;
};

} // namespace lxstandin
