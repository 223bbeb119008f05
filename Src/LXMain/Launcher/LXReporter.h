#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "LXErrorHandler.h"
#include "LXLauncherData.h"

struct LaunchVersionResult {
    Version stVersion;
    LaunchError enLaunchError;
};

struct LaunchAppRecord {
    int nResultStatus;
    std::vector<LaunchVersionResult> vtFailVersion;
    Version stTargetVersion;
    Version stLoadVersion;
    bool bIsTarget;
    std::chrono::system_clock::duration durationElapsed;
};

struct StartMainAppRecord {
    int nResult;
    Version stLoadVersion;
    std::chrono::system_clock::duration durationElapsed;
};

// Launch statistics; each platform supplies the bodies.
class CLXReporter {
public:
    static void ReportLaunchAppRecord(std::shared_ptr<LaunchAppRecord> spRecord);
    static void ReportStartMainAppRecord(std::shared_ptr<StartMainAppRecord> spRecord);
};
