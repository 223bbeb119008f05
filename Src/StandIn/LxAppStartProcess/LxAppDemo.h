#pragma once

#include <string>

namespace lxstandin {

// Whether the command line asks for the demo client ("--demo").
bool IsDemoRequested(int argc, char** argv);

// Runs a small client: one page of ordinary widgets, measured with the page
// performance report, shown until "--demo-seconds=N" (default 5) have passed.
// Appends what it saw to the record file when one is named.
int RunDemoClient(int argc, char** argv, const char* szRecordFile);

} // namespace lxstandin
