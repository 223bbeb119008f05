#include "Vantrel/Report.h"
#include "Vantrel/ReportTesting.h"

#include "RecordSink.h"

namespace core::report {
namespace {

Json::Value ToJson(const RecordedEvent& stEvent)
{
    Json::Value line(Json::objectValue);
    line["event"] = stEvent.strEventName;
    line["arg"] = stEvent.nArg;
    line["broker"] = stEvent.brokerId;
    line["payload"] = stEvent.payload;
    return line;
}

lxstandin::CRecordSink<RecordedEvent>& EventSink()
{
    static lxstandin::CRecordSink<RecordedEvent> s_sink("LX_REPORT_SINK_FILE", &ToJson);
    return s_sink;
}

} // namespace

void Report(const std::string& strEventName, int nArg, const Json::Value& payload, CSBrokerId brokerId)
{
    EventSink().Hand([&] { return RecordedEvent{strEventName, nArg, payload, brokerId}; });
}

void SetEventRecording(bool bRecording)
{
    EventSink().SetRecording(bRecording);
}

std::vector<RecordedEvent> TakeRecordedEvents()
{
    return EventSink().Take();
}

void ClearRecordedEvents()
{
    EventSink().Clear();
}

} // namespace core::report
