#include "Vantrel/Report.h"

#include <json/writer.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <utility>

namespace core::report {
namespace {

std::mutex& SinkMutex()
{
    static std::mutex s_mutex;
    return s_mutex;
}

std::vector<RecordedEvent>& RecordedEvents()
{
    static std::vector<RecordedEvent> s_vtEvents;
    return s_vtEvents;
}

std::string ToJsonLine(const RecordedEvent& stEvent)
{
    Json::Value line(Json::objectValue);
    line["event"] = stEvent.strEventName;
    line["arg"] = stEvent.nArg;
    line["broker"] = stEvent.brokerId;
    line["payload"] = stEvent.payload;

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    // Compact output escapes control characters, so the text holds no newline.
    return Json::writeString(builder, line) + '\n';
}

} // namespace

void Report(const std::string& strEventName, int nArg, const Json::Value& payload, CSBrokerId brokerId)
{
    RecordedEvent stEvent{strEventName, nArg, payload, brokerId};
    const std::string strLine = ToJsonLine(stEvent);

    const std::lock_guard<std::mutex> lock(SinkMutex());
    // Read on every call so a test can point the sink elsewhere between events.
    if (const char* szSink = std::getenv("LX_REPORT_SINK_FILE"); szSink != nullptr && *szSink != '\0') {
        std::ofstream sink(szSink, std::ios::out | std::ios::app | std::ios::binary);
        sink.write(strLine.data(), static_cast<std::streamsize>(strLine.size()));
    }
    RecordedEvents().push_back(std::move(stEvent));
}

std::vector<RecordedEvent> TakeRecordedEvents()
{
    const std::lock_guard<std::mutex> lock(SinkMutex());
    return std::exchange(RecordedEvents(), {});
}

void ClearRecordedEvents()
{
    const std::lock_guard<std::mutex> lock(SinkMutex());
    RecordedEvents().clear();
}

} // namespace core::report
