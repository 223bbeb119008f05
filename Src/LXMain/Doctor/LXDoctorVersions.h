#pragma once

#include <chrono>
#include <filesystem>
#include <string_view>
#include <vector>

#include "LXDoctorReport.h"

// The version table: each version directory's launcher and library, and what
// starting its launcher leads to, by the launcher's own rules.
namespace lx::doctor {

inline constexpr const char* kszLauncherFileName = "launcher";

// One row per version directory under the root, newest first, as the
// launcher scans them; the libraries probed, the launches predicted.
std::vector<VersionRow> ExamineVersions(const std::filesystem::path& pathRoot, const std::filesystem::path& pathSelfExe,
                                        std::chrono::milliseconds probeTimeLimit);

LauncherFile ExamineLauncherFile(const std::filesystem::path& path);

// Fills each row's verdict: what starting its launcher by hand leads to.
void PredictLaunches(std::vector<VersionRow>& vtRows);

} // namespace lx::doctor
