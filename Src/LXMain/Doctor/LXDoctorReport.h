#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

#include "LXDoctorProbe.h"
#include "LXLauncherData.h"

// The doctor's one report: a table of the version directories and the
// findings of each check. Both renderers read only this.
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

enum class VerdictKind {
    NotStartable, // its own launcher cannot be started
    RunsClient,   // the started launcher runs its own client
    FallsBack,    // it starts another version's launcher, which ends in a client
    NoClient,     // no client starts, by any road
    Hangs,        // some launcher on the road would hang loading its library
    Crashes,      // some launcher on the road would die loading its library
    Unknown,      // some launcher on the road is not one whose behaviour is known
};

// The value an enumerator has in the JSON document.
const char* KeyOf(LauncherFileState enState);
const char* KeyOf(VerdictKind enKind);

struct LauncherFile {
    std::filesystem::path path;
    LauncherFileState enState = LauncherFileState::Missing;
    std::string strProblem; // in words, when not Ok
    std::optional<std::string> optStrCompiledVersion;
    std::optional<Version> optCompiledVersion;
    bool bVersionMismatch = false; // compiled-in a.b.c differs from the directory name
};

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

// One row of the version table.
struct VersionRow {
    std::string strName;
    Version stVersion; // from the directory name, with its path
    LauncherFile launcher;
    std::filesystem::path pathLibrary;
    ProbeResult library;
    Verdict verdict;
};

struct Finding {
    std::string strKind;  // what sort of finding, for a program
    std::string strLabel; // the first column in the text; may be empty
    std::string strText;
    bool bWarning = false;
    Json::Value facts; // what a program reads besides the text; null when nothing
};

struct CheckResult {
    std::string strKey;   // the check's name in the JSON document
    std::string strTitle; // its heading in the text
    std::string strHeadline;
    Json::Value facts;
    std::vector<Finding> vtFindings;
};

struct DoctorReport {
    std::filesystem::path pathRoot;
    uid_t nRootOwner = 0;
    std::string strRootOwner;
    std::chrono::milliseconds probeTimeLimit{0};
    std::vector<VersionRow> vtVersions; // newest first
    std::vector<CheckResult> vtChecks;
    int nExitStatus = 2;
    std::string strSummary;
};

// The doctor's own exit statuses.
inline constexpr int kNDoctorRuns = 0;
inline constexpr int kNDoctorFallback = 1;
inline constexpr int kNDoctorNoClient = 2;
inline constexpr int kNDoctorUsage = 64;

} // namespace lx::doctor
