#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "LXDoctorReport.h"

namespace lx::doctor {

struct DoctorOptions {
    std::filesystem::path pathRoot;
    std::filesystem::path pathSelfExe;
    size_t uLogLines = 5;
    std::chrono::milliseconds probeTimeLimit = kDurationProbeTimeLimit;
    std::string strCommandName = "orvalo";
};

// One small check: it reads the options and the version table, and adds
// its findings to the result; none means nothing to report.
struct Check {
    const char* szKey;
    const char* szTitle;
    void (*funcRun)(const DoctorOptions& options, const DoctorReport& report, CheckResult& result);
};

// The checks in the order they are reported.
const std::vector<Check>& Checks();

// Examines the installation without changing anything. nullopt, with the
// reason in strError, when the root cannot be examined at all.
std::optional<DoctorReport> Examine(const DoctorOptions& options, std::string& strError);

} // namespace lx::doctor
