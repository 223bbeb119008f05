#include "Ostrum/AssertHook.h"
#include "Ostrum/AssertHookTesting.h"

#include <json/value.h>

#include "RecordSink.h"

namespace FrameWork {
namespace {

std::string TextOrEmpty(const char* szText)
{
    return szText != nullptr ? std::string(szText) : std::string();
}

Json::Value ToJson(const RecordedAssert& stAssert)
{
    Json::Value line(Json::objectValue);
    line["type"] = static_cast<int>(stAssert.enType);
    line["message"] = stAssert.strMessage;
    line["module"] = stAssert.strModule;
    line["file"] = stAssert.strFile;
    line["line"] = stAssert.nLine;
    line["condition"] = stAssert.strCondition;
    return line;
}

lxstandin::CRecordSink<RecordedAssert>& AssertSink()
{
    static lxstandin::CRecordSink<RecordedAssert> s_sink("LX_ASSERT_SINK_FILE", &ToJson);
    return s_sink;
}

} // namespace

void _FW_OnAssertFailed(AssetType enType, const char* szMessage, const char* szModule, const char* szFile, int nLine,
                        const char* szCondition)
{
    AssertSink().Hand([&] {
        return RecordedAssert{enType, TextOrEmpty(szMessage),  TextOrEmpty(szModule), TextOrEmpty(szFile),
                              nLine,  TextOrEmpty(szCondition)};
    });
}

void SetAssertRecording(bool bRecording)
{
    AssertSink().SetRecording(bRecording);
}

std::vector<RecordedAssert> TakeRecordedAsserts()
{
    return AssertSink().Take();
}

void ClearRecordedAsserts()
{
    AssertSink().Clear();
}

} // namespace FrameWork
