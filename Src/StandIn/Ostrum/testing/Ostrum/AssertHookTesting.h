#pragma once

// For tests only, never installed: an in-memory copy of the assertion
// reports, kept while recording is on (it is off at start).

#include "Ostrum/AssertHook.h"

#include <string>
#include <vector>

namespace FrameWork {

struct RecordedAssert {
    AssetType enType = ASSET_TYPE_DEBUG;
    std::string strMessage;
    std::string strModule;
    std::string strFile;
    int nLine = 0;
    std::string strCondition;
};

// Switching off also drops the kept copies.
void SetAssertRecording(bool bRecording);
// Every report kept since the last take or clear, oldest first.
std::vector<RecordedAssert> TakeRecordedAsserts();
void ClearRecordedAsserts();

} // namespace FrameWork
