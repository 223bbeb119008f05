#pragma once

// Stand-in for the client's business-services library: takes statistics
// events and hands each one on as one JSON line.

#include <json/value.h>

#include <cstdint>
#include <string>

namespace core::report {

using CSBrokerId = std::int32_t;

// Copies what it needs; the caller's payload may go away as soon as this
// returns. When "LX_REPORT_SINK_FILE" names a file, one JSON line per event
// is appended to it; otherwise the event is dropped.
void Report(const std::string& strEventName, int nArg, const Json::Value& payload, CSBrokerId brokerId);

} // namespace core::report
