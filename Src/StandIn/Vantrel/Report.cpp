#include "Vantrel/Report.h"

#include <mutex>
#include <utility>

#include "JsonLineFile.h"

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

    return lxstandin::FormatJsonLine(line);
}

} // namespace

void Report(const std::string& strEventName, int nArg, const Json::Value& payload, CSBrokerId brokerId)
{
    RecordedEvent stEvent{strEventName, nArg, payload, brokerId};
    const std::string strLine = ToJsonLine(stEvent);

    const std::lock_guard<std::mutex> lock(SinkMutex());
    lxstandin::AppendToFileNamedBy("LX_REPORT_SINK_FILE", strLine);
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
