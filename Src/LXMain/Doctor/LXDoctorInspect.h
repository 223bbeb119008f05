#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "LXDoctorModel.h"
#include "LXDoctorProbe.h"

namespace lx::doctor {

struct DoctorOptions {
    std::filesystem::path pathRoot;
    std::filesystem::path pathSelfExe;
    size_t uLogLines = 5;
    std::chrono::milliseconds probeTimeLimit = kDurationProbeTimeLimit;
    std::string strCommandName = "orvalo";
};

// Examines the installation without changing anything. nullopt, with the
// reason in strError, when the root cannot be examined at all.
std::optional<DoctorReport> Examine(const DoctorOptions& options, std::string& strError);

// Helpers, exposed for the tests.
LauncherFileFacts ExamineLauncherFile(const std::filesystem::path& path);
CommandFacts ResolveCommand(const std::string& strName, const std::string& strPathVariable);

} // namespace lx::doctor
