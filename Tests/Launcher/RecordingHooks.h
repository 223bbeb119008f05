#pragma once

#include <memory>
#include <string>
#include <vector>

#include "LXErrorHandler.h"
#include "LXReporter.h"

// What the launcher handed to its reporter and error-handler hooks, in the
// order it did. The test program links these bodies in place of the Linux
// ones.
struct HookLog {
    std::vector<std::string> vtCalls; // e.g. "HandleLaunchError:1"
    std::vector<std::shared_ptr<LaunchAppRecord>> vtLaunchRecords;
    std::vector<std::shared_ptr<StartMainAppRecord>> vtStartRecords;

    static HookLog& Get();
    void Clear();
};
