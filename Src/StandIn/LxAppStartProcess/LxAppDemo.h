#pragma once

namespace lxstandin {

// The file both the call record and the demo's own record go to.
inline constexpr const char* kszRecordFileEnv = "LX_APP_RECORD_FILE";

// Whether the command line asks for the demo client ("--demo").
bool IsDemoRequested(int argc, char** argv);

// Runs a small client: one page of ordinary widgets, measured with the page
// performance report, shown until "--demo-seconds=N" (default 5) have passed.
// Appends what it saw to the record file when one is named.
int RunDemoClient(int argc, char** argv);

} // namespace lxstandin
