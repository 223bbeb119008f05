#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LXDoctorModel.h"
#include "LXLauncherData.h"

// The launcher's own rules, called rather than restated, and the prediction
// of a launch built on them.
namespace lx::doctor {

inline constexpr const char* kszLauncherFileName = "launcher";

// The version directories under the root, newest first, as the launcher
// scans them.
std::vector<Version> ScanVersions(const std::filesystem::path& pathRoot);

// "a.b.c.d" (or fewer numbers) read as the launcher reads version text;
// nullopt when it is not a version.
std::optional<Version> ParseVersionText(std::string_view strText);
std::string FormatVersion(const Version& stVersion);

// What starting the launcher of vtFacts[uStart] leads to, with the inherited
// ceiling as given.
Verdict PredictLaunch(const std::vector<VersionFacts>& vtFacts, size_t uStart,
                      const std::optional<std::string>& optInheritedCeiling);

// The main-application library's file name, as the launcher looks for it.
const char* MainAppLibraryName();

// The launcher log's files for this user under the launcher's rules, the
// live one first, then the rotated ones; empty when no home is known.
std::vector<std::filesystem::path> LauncherLogFiles();

// Whether the launcher would accept the log's directory and its files as
// they are: an empty text means accepted. Creates nothing.
struct LogCheck {
    std::string strDirectoryProblem;
    std::string strFileProblem;
};
LogCheck CheckLauncherLog();

// The environment variable a fallback launcher inherits its ceiling in.
const char* FallbackCeilingVariable();

// This program's own file and the installation root it belongs to, found as
// the launcher finds its own: /proc/self/exe, else the program name.
struct SelfLocation {
    std::filesystem::path pathExe;
    std::filesystem::path pathRoot;
};
SelfLocation LocateSelf(const char* szArgv0);

} // namespace lx::doctor
