#include "Ostrum/AssertHook.h"

#include <json/value.h>

#include <mutex>
#include <utility>

#include "JsonLineFile.h"

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

    return lxstandin::FormatJsonLine(line);
}

} // namespace

void _FW_OnAssertFailed(AssetType enType, const char* szMessage, const char* szModule, const char* szFile, int nLine,
                        const char* szCondition)
{
    RecordedAssert stAssert{enType, TextOrEmpty(szMessage),  TextOrEmpty(szModule), TextOrEmpty(szFile),
                            nLine,  TextOrEmpty(szCondition)};
    const std::string strLine = ToJsonLine(stAssert);

    const std::lock_guard<std::mutex> lock(HookMutex());
    lxstandin::AppendToFileNamedBy("LX_ASSERT_SINK_FILE", strLine);
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
