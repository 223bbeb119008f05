#pragma once

#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <json/json.h>
#include <spdlog/spdlog.h>

#include "LXLinuxLauncher.h"
#include "LXLogFile.h"
#include "RecordingHooks.h"
#include "TestSupport.h"

namespace lxtest {

// Built artefacts, handed in by the build.
inline const std::filesystem::path kPathLauncherExe = LX_TEST_LAUNCHER_EXE;
inline const std::filesystem::path kPathStandInLibrary = LX_TEST_STANDIN_LIBRARY;
inline const std::filesystem::path kPathNoEntryLibrary = LX_TEST_NOENTRY_LIBRARY;
inline const std::filesystem::path kPathScriptedLibrary = LX_TEST_SCRIPTED_LIBRARY;
inline constexpr const char* kszMainAppLibrary = "libLxAppStartProcess.so";
inline constexpr const char* kszOwnVersionDir = LX_TEST_VERSION_DIR;

// Shell command that lists the descriptors a program started from the
// script holds, as "ls -l" shows them, into the named file.
std::string ListDescriptorsCommand(const std::filesystem::path& pathOutput);
// From such a listing: what each descriptor above 2 refers to, leaving out
// the listing's own directory handle and the script itself.
std::vector<std::string> ForeignDescriptors(const std::filesystem::path& pathListing,
                                            const std::filesystem::path& pathScript);

enum class MainApp { None, StandIn, NoEntry, Scripted };

// An installation in a temporary directory: <root>/app/<version>/...
class Installation {
public:
    Installation() { std::filesystem::create_directories(AppRoot()); }

    std::filesystem::path AppRoot() const { return m_dir / "app"; }
    std::filesystem::path Home() const { return m_dir / "home"; }
    std::filesystem::path Scratch(const std::string& strName) const { return m_dir / strName; }
    std::filesystem::path LogFile() const { return Home() / ".config/orvalo/2.0/Logs/Launcher.log"; }

    // Adds a version directory holding the real launcher and the chosen
    // main-application library.
    std::filesystem::path AddVersion(const std::string& strName, MainApp enApp, bool bWithLauncher = true);
    // Adds a version directory whose launcher is a script that writes its
    // arguments, one per line, to a file beside the directory, and its
    // descriptors to the same name with ".fds".
    std::filesystem::path AddScriptVersion(const std::string& strName, const std::string& strLauncherName = "launcher");
    std::filesystem::path ScriptRecord(const std::string& strName) const { return m_dir / (strName + ".argv"); }

private:
    TempDir m_dir;
};

// Exposes the protected operations and points the executable path at the
// installation instead of the test program.
class TestLauncher : public CLXLinuxLauncher {
public:
    explicit TestLauncher(std::filesystem::path pathExe = {}) : m_pathFakeExe(std::move(pathExe)) {}

    using CLXLauncher::CreateVersion;
    using CLXLauncher::GetLauncherExePathFromCommandLine;
    using CLXLauncher::GetValidLowerVersion;
    using CLXLauncher::IsVersionDirectory;
    using CLXLauncher::ParseVersionFromPath;
    using CLXLauncher::StartMainApp;
    using CLXLinuxLauncher::GetLauncherDirectoryPath;
    using CLXLinuxLauncher::GetVersionRootDirectoryPath;
    using CLXLinuxLauncher::LoadMainAppFunc;

    std::filesystem::path GetLauncherExePath() override
    {
        return m_pathFakeExe.empty() ? CLXLinuxLauncher::GetLauncherExePath() : m_pathFakeExe;
    }
    FuncStartMainApp BoundEntry() const { return m_funcStartMainApp; }
    const std::filesystem::path& CachedExePath() const { return m_pathLauncherExe; }

private:
    std::filesystem::path m_pathFakeExe;
};

// Sends the default logger's records to a string, in the launcher's layout.
class CapturedLog {
public:
    CapturedLog();
    ~CapturedLog();
    std::string Text();

private:
    std::ostringstream m_stream;
};

inline constexpr uint64_t kU64LogLimit = 5 * 1024 * 1024;

// Makes what a case describes below a home, as words "kind:path", the path
// below the log directory, or below home after "~". Kinds: dir, fifo, old (a
// small file), full (10 bytes under the log limit), link (to pathVictim, made
// full), open (mode 0777, reachable by others), give (to "nobody"), lock
// (held through the returned descriptors). After the word "nobody" another
// user makes the rest.
std::vector<lx::CLXFileDescriptor> Plant(const std::filesystem::path& pathHome, const std::filesystem::path& pathVictim,
                                         const std::string& strPlan);
std::filesystem::path PlantedPath(const std::filesystem::path& pathHome, const std::string& strPath);
// Every regular file at or below the paths, links not followed.
std::map<std::filesystem::path, std::string> Snapshot(const std::vector<std::filesystem::path>& vtPaths);

Version MakeVersion(uint32_t uMajor, uint32_t uMinor, uint32_t uPatch, uint32_t uTweak,
                    std::filesystem::path path = {});

} // namespace lxtest
