#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "LXDoctorLog.h"
#include "LXDoctorProbe.h"
#include "LXLauncherData.h"

namespace lx::doctor {

enum class LauncherFileState {
    Ok,                 // a regular executable file the system can start
    Missing,            // nothing there
    Unreadable,         // its status cannot be read
    Directory,          // a directory in its place
    NotRegular,         // a device, FIFO or socket
    NotExecutable,      // no execute permission for this user
    MissingInterpreter, // the ELF or script interpreter it names is not there
};

const char* LauncherFileStateKey(LauncherFileState enState);

struct LauncherFileFacts {
    std::filesystem::path path;
    LauncherFileState enState = LauncherFileState::Missing;
    std::string strProblem; // in words, when not Ok
    std::optional<std::string> optStrCompiledVersion;
    std::optional<Version> optCompiledVersion;
    bool bVersionMismatch = false; // compiled-in version differs from the directory name
};

struct VersionFacts {
    std::string strName;
    Version stVersion; // from the directory name, with its path
    LauncherFileFacts launcher;
    std::filesystem::path pathLibrary;
    ProbeResult library;
};

enum class VerdictKind {
    NotStartable, // its own launcher cannot be started
    RunsClient,   // the started launcher runs its own client
    FallsBack,    // it starts another version's launcher, which ends in a client
    NoClient,     // no client starts, by any road
    Hangs,        // some launcher on the road would hang loading its library
    Crashes,      // some launcher on the road would die loading its library
    Unknown,      // some launcher on the road is not one whose behaviour is known
};

const char* VerdictKindKey(VerdictKind enKind);

struct FailedStart {
    std::string strVersion;
    std::filesystem::path pathLauncher;
    std::string strProblem;
};

// What happens when one version's launcher is started.
struct Verdict {
    VerdictKind enKind = VerdictKind::Unknown;
    std::vector<std::string> vtChain;  // the launchers that would run, in order, by version name
    std::vector<FailedStart> vtFailed; // fallback launchers that would fail to start
    std::optional<int> optExitStatus;  // the first launcher's; nullopt: the client's result
    std::string strClientVersion;      // whose client runs
    std::string strReason;             // why no client, or what is unknown
    std::string strText;               // one sentence
};

struct CommandFacts {
    std::string strName;
    bool bFound = false;
    std::filesystem::path pathCommand;         // where PATH finds it
    std::vector<std::filesystem::path> vtHops; // each link followed, ending at the file
    std::filesystem::path pathTarget;          // the file it runs
    std::optional<size_t> optVersionIndex;     // in the examined installation
    std::optional<Verdict> optVerdict;
    std::string strText;
};

struct EnvironmentFacts {
    bool bCeilingSet = false;
    std::string strCeilingValue;
    bool bCeilingValid = false;
    std::string strCeiling;             // "a.b.c.d" as the launcher reads it
    std::vector<std::string> vtChanges; // verdicts that differ because of it
    std::string strText;
};

struct LogFileFacts {
    std::filesystem::path path;
    bool bExists = false;
    bool bRegular = false; // a link or anything else is not read
    uintmax_t uSize = 0;
};

struct LogFacts {
    std::filesystem::path path; // empty when no home is known
    bool bDirectoryAccepted = false;
    std::string strDirectoryProblem;
    bool bFileAccepted = false;
    std::string strFileProblem;
    std::vector<LogFileFacts> vtFiles;     // current first, then the rotated ones
    std::vector<LaunchSummary> vtLaunches; // the last N, oldest first
    size_t uLaunchesTotal = 0;
    std::vector<UnparsedLine> vtUnparsed;
    size_t uUnparsedCount = 0;
};

struct Warning {
    std::string strKind; // "writable", "owner", "outside-dependency", "version-mismatch"
    std::filesystem::path path;
    std::string strText;
};

struct DoctorReport {
    std::filesystem::path pathRoot;
    uid_t nRootOwner = 0;
    std::string strRootOwner;
    std::vector<VersionFacts> vtVersions; // newest first
    std::vector<Verdict> vtVerdicts;      // one per version, in the doctor's environment
    CommandFacts command;
    EnvironmentFacts environment;
    LogFacts log;
    std::vector<Warning> vtWarnings;
    int nExitStatus = 2;
    std::string strSummary;
};

// The doctor's own exit statuses.
inline constexpr int kNDoctorRuns = 0;
inline constexpr int kNDoctorFallback = 1;
inline constexpr int kNDoctorNoClient = 2;
inline constexpr int kNDoctorUsage = 64;

} // namespace lx::doctor
