#include "Ostrum/AssertHook.h"

#include <json/value.h>
#include <json/writer.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <utility>

namespace FrameWork {
namespace {

std::mutex& HookMutex()
{
    static std::mutex s_mutex;
    return s_mutex;
}

std::vector<RecordedAssert>& RecordedAsserts()
{
    static std::vector<RecordedAssert> s_vtAsserts;
    return s_vtAsserts;
}

std::string TextOrEmpty(const char* szText)
{
    return szText != nullptr ? std::string(szText) : std::string();
}

std::string ToJsonLine(const RecordedAssert& stAssert)
{
    Json::Value line(Json::objectValue);
    line["type"] = static_cast<int>(stAssert.enType);
    line["message"] = stAssert.strMessage;
    line["module"] = stAssert.strModule;
    line["file"] = stAssert.strFile;
    line["line"] = stAssert.nLine;
    line["condition"] = stAssert.strCondition;

    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, line) + '\n';
}

} // namespace

void _FW_OnAssertFailed(AssetType enType, const char* szMessage, const char* szModule, const char* szFile, int nLine,
                        const char* szCondition)
{
    RecordedAssert stAssert{enType, TextOrEmpty(szMessage),  TextOrEmpty(szModule), TextOrEmpty(szFile),
                            nLine,  TextOrEmpty(szCondition)};
    const std::string strLine = ToJsonLine(stAssert);

    const std::lock_guard<std::mutex> lock(HookMutex());
    if (const char* szSink = std::getenv("LX_ASSERT_SINK_FILE"); szSink != nullptr && *szSink != '\0') {
        std::ofstream sink(szSink, std::ios::out | std::ios::app | std::ios::binary);
        sink.write(strLine.data(), static_cast<std::streamsize>(strLine.size()));
    }
    RecordedAsserts().push_back(std::move(stAssert));
}

std::vector<RecordedAssert> TakeRecordedAsserts()
{
    const std::lock_guard<std::mutex> lock(HookMutex());
    return std::exchange(RecordedAsserts(), {});
}

void ClearRecordedAsserts()
{
    const std::lock_guard<std::mutex> lock(HookMutex());
    RecordedAsserts().clear();
}

} // namespace FrameWork
