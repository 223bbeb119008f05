#pragma once

// For tests only, never installed: an in-memory copy of the events, kept
// while recording is on (it is off at start).

#include "Vantrel/Report.h"

#include <json/value.h>

#include <string>
#include <vector>

namespace core::report {

struct RecordedEvent {
    std::string strEventName;
    int nArg = 0;
    Json::Value payload;
    CSBrokerId brokerId = 0;
};

// Switching off also drops the kept copies.
void SetEventRecording(bool bRecording);
// Every event kept since the last take or clear, oldest first.
std::vector<RecordedEvent> TakeRecordedEvents();
void ClearRecordedEvents();

} // namespace core::report
