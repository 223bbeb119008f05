#pragma once

// Stand-in for the client's framework library: records assertion reports
// and returns, so the caller carries on.

#include <string>
#include <vector>

namespace FrameWork {

enum AssetType {
    ASSET_TYPE_DEBUG = 0,
    ASSET_TYPE_WARNING = 1,
    ASSET_TYPE_ERROR = 2,
    ASSET_TYPE_REPORT = 3,
};

// Any of the text arguments may be null; it is recorded as an empty text.
// When "LX_ASSERT_SINK_FILE" names a file, one JSON line per report is
// appended to it.
void _FW_OnAssertFailed(AssetType enType, const char* szMessage, const char* szModule, const char* szFile, int nLine,
                        const char* szCondition);

struct RecordedAssert {
    AssetType enType = ASSET_TYPE_DEBUG;
    std::string strMessage;
    std::string strModule;
    std::string strFile;
    int nLine = 0;
    std::string strCondition;
};

// In-process copy of every report since the last take or clear, oldest first.
std::vector<RecordedAssert> TakeRecordedAsserts();
void ClearRecordedAsserts();

} // namespace FrameWork
