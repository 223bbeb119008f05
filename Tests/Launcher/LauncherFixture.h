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
inline const std::filesystem::path kPathThreadNoEntryLibrary = LX_TEST_THREAD_NOENTRY_LIBRARY;
inline const std::filesystem::path kPathMeddlingLibrary = LX_TEST_MEDDLING_LIBRARY;
inline const std::filesystem::path kPathNeedsGoneLibrary = LX_TEST_NEEDS_GONE_LIBRARY;
inline const std::filesystem::path kPathScriptedLibrary = LX_TEST_SCRIPTED_LIBRARY;
inline constexpr const char* kszMainAppLibrary = "libLxAppStartProcess.so";
inline constexpr const char* kszOwnVersionDir = LX_TEST_VERSION_DIR;

// The test program doubles as a started program (a probe): with this
// variable naming a file, it appends one JSON line there and exits 0. The
// line holds "argv", "fallback_below" and "ready_fd" (those variables or
// null), "fds"
// (each open descriptor with its link target), "ignored" and "blocked"
// (signal numbers). LX_TEST_PROBE_DELAY_MS delays the record.
inline constexpr const char* kszProbeRecordEnv = "LX_TEST_PROBE_RECORD";
int RunProbe(const char* szRecordPath, int argc, char** argv);

// "<test program> --lx-without-close-range PROGRAM ARGS...": runs the
// program where close_range fails with ENOSYS (a seccomp filter), with the
// descriptor limit at most 512 and /dev/null open without close-on-exec at
// the highest number the limit allows.
inline constexpr const char* kszWithoutCloseRangeFlag = "--lx-without-close-range";
// Its own failures, before the program runs.
inline constexpr int kNWrapperUnsupported = 96;
inline constexpr int kNWrapperFilterFailed = 97;
int ExecWithoutCloseRange(char** argv);

// The running test program, which the probes are links to.
std::filesystem::path TestProgramPath();
// Waits until the file holds uCount probe records (or the time runs out)
// and returns what it holds.
std::vector<Json::Value> WaitForProbeRecords(const std::filesystem::path& path, size_t uCount = 1,
                                             int nTimeoutMilliseconds = 10000);
// The descriptor numbers a probe record lists, ascending.
std::vector<int> ProbeDescriptors(const Json::Value& record);
// Whether a descriptor above 2 in a record's "fds", other than the one its
// "ready_fd" names, refers to a pipe this test program does not hold
// itself: one a test made for a child.
bool HoldsAPipe(const Json::Value& record);

// Whether the process has ended (gone, or a zombie nobody reaped yet); it
// need not be a child of ours.
bool ProcessEnded(pid_t nPid);

// What a version directory's libLxAppStartProcess.so is: NotElf is a text
// file, NeedsGone needs a library that is not there.
// Scripted crashes, exits, waits or reports as the environment asks.
enum class MainApp { None, StandIn, NoEntry, ThreadNoEntry, Meddling, NeedsGone, NotElf, Scripted };

// An installation in a temporary directory: <root>/app/<version>/...
class Installation {
public:
    explicit Installation(std::string strAppDirName = "app") : m_strAppDirName(std::move(strAppDirName))
    {
        std::filesystem::create_directories(AppRoot());
    }

    std::filesystem::path AppRoot() const { return m_dir / m_strAppDirName; }
    std::filesystem::path Home() const { return m_dir / "home"; }
    std::filesystem::path Scratch(const std::string& strName) const { return m_dir / strName; }
    std::filesystem::path LogFile() const { return Home() / ".config/orvalo/2.0/Logs/Launcher.log"; }

    // Adds a version directory holding the real launcher and the chosen
    // main-application library.
    std::filesystem::path AddVersion(const std::string& strName, MainApp enApp, bool bWithLauncher = true);
    // Adds a version directory whose launcher is a probe (a link to the test
    // program); every probe records into ProbeRecord().
    std::filesystem::path AddProbeVersion(const std::string& strName, const std::string& strLauncherName = "launcher");
    std::filesystem::path ProbeRecord() const { return m_dir / "probe.jsonl"; }

private:
    TempDir m_dir;
    std::string m_strAppDirName;
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
