#pragma once

// Stand-in for the client's business-services library: takes statistics
// events and hands each one on as one JSON line.

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace core::report {

using CSBrokerId = std::int32_t;

// Copies the event; the caller's payload may go away as soon as this returns.
// When "LX_REPORT_SINK_FILE" names a file, one JSON line per event is
// appended to it.
void Report(const std::string& strEventName, int nArg, const Json::Value& payload, CSBrokerId brokerId);

struct RecordedEvent {
    std::string strEventName;
    int nArg = 0;
    Json::Value payload;
    CSBrokerId brokerId = 0;
};

// In-process copy of every event since the last take or clear, oldest first.
std::vector<RecordedEvent> TakeRecordedEvents();
void ClearRecordedEvents();

} // namespace core::report
