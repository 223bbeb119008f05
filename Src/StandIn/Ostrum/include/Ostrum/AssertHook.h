#pragma once

// Stand-in for the client's framework library: hands on assertion reports
// and returns, so the caller carries on.

namespace FrameWork {

enum AssetType {
    ASSET_TYPE_DEBUG = 0,
    ASSET_TYPE_WARNING = 1,
    ASSET_TYPE_ERROR = 2,
    ASSET_TYPE_REPORT = 3,
};

// Any of the text arguments may be null; it is written as an empty text.
// When "LX_ASSERT_SINK_FILE" names a file, one JSON line per report is
// appended to it; otherwise the report is dropped.
void _FW_OnAssertFailed(AssetType enType, const char* szMessage, const char* szModule, const char* szFile, int nLine,
                        const char* szCondition);

} // namespace FrameWork
