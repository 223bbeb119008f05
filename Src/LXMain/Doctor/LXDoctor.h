#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <json/value.h>

#include "LXFallback.h"
#include "LXHealth.h"

// The doctor's one report, a table of the version directories and the
// findings of each check, and the steps that fill it. Both renderers read
// only the report.
namespace lx::doctor {

// The doctor's own exit statuses.
inline constexpr int kNDoctorRuns = 0;
inline constexpr int kNDoctorFallback = 1;
inline constexpr int kNDoctorNoClient = 2;
inline constexpr int kNDoctorUsage = 64;
inline constexpr int kNDoctorCannotWrite = 74; // the report could not be written

// How long a library may take to load in the probe before it is reported as
// hanging and its process killed.
inline constexpr std::chrono::milliseconds kDurationProbeTimeLimit{5000};
// The hidden first argument that turns the doctor into a probe child.
inline constexpr const char* kszProbeModeArgument = "--lx-probe-library";
inline constexpr const char* kszLauncherFileName = "launcher";
inline constexpr const char* kszCommandName = "orvalo";

// What the doctor needs to know about an executable or library file, read
// without running or loading it.
struct ElfFacts {
    bool bIsElf = false;
    bool bRunsHere = false; // an ELF program of this machine's class and architecture
    std::string strError;   // why the file could not be read as ELF
    std::optional<std::string> optStrVersionNote; // the launcher's "a.b.c.d" note
    std::optional<std::string> optStrInterpreter; // PT_INTERP, or the program a "#!" first line names
    bool bHasRunPath = false;                     // DT_RUNPATH present
};
ElfFacts ReadElfFacts(const std::filesystem::path& path);

enum class LauncherFileState {
    Ok,                 // a regular executable file the system can start
    Missing,            // nothing there
    Unreadable,         // its status cannot be read
    Directory,          // a directory in its place
    NotRegular,         // a device, FIFO or socket
    NotExecutable,      // no execute permission for this user
    MissingInterpreter, // the ELF or script interpreter it names is not there
    WrongFormat,        // neither a program of this machine nor a "#!" script
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

// How the probe of a library ended; only an answer tells the library's state.
enum class ProbeEnd { Answered, Hangs, Crashes, Failed };

// The values the enumerators have in the JSON document.
const char* KeyOf(LauncherFileState enState);
const char* KeyOf(VerdictKind enKind);
const char* KeyOf(lx::HealthState enState);

struct LauncherFile {
    std::filesystem::path path;
    LauncherFileState enState = LauncherFileState::Missing;
    std::string strProblem; // in words, when not Ok
    std::optional<std::string> optStrCompiledVersion;
    std::optional<Version> optCompiledVersion;
    bool bVersionMismatch = false; // compiled-in a.b.c differs from the directory name
};

struct ProbeRequest {
    std::filesystem::path pathLibrary;
    // The directory the starting launcher's own run path names, searched
    // before the environment's library path (empty: none).
    std::filesystem::path pathRunPathDirectory;
};

struct ProbeResult {
    ProbeEnd enEnd = ProbeEnd::Failed;
    lx::LibraryState enState = lx::LibraryState::NOT_FOUND; // as the launcher would find it, when answered
    std::string strError;                                   // the loader's message, or what went wrong
    std::vector<std::string> vtLoadedObjects;               // objects loading it brought in
    std::chrono::milliseconds duration{0};
};
// The value in the JSON document, and the words in the version table.
const char* KeyOf(const ProbeResult& result);
const char* TextOf(const ProbeResult& result);

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
    lx::BuildHealth health; // of this build, for this user
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
    int nExitStatus = kNDoctorNoClient;
    std::string strSummary;
};

struct DoctorOptions {
    std::filesystem::path pathRoot;
    std::filesystem::path pathSelfExe;
    size_t uLogLines = 5;
    std::chrono::milliseconds probeTimeLimit = kDurationProbeTimeLimit;
};

// Examines the installation without changing anything. nullopt, with the
// reason in strError, when the root cannot be examined at all.
std::optional<DoctorReport> Examine(const DoctorOptions& options, std::string& strError);

// One row per version directory under the root, newest first, as the
// launcher scans them; the libraries probed, the launches predicted.
std::vector<VersionRow> ExamineVersions(const std::filesystem::path& pathRoot, const std::filesystem::path& pathSelfExe,
                                        std::chrono::milliseconds probeTimeLimit);

// Loads each library with dlopen in a child process of its own (the doctor
// re-executed in probe mode), a few at a time, so no initialiser ever runs
// in the doctor. A child still loading at the time limit is killed with its
// process group; whatever the probes started is gone when this returns.
// TERM, INT or HUP meanwhile ends the probes, then the doctor by that signal.
std::vector<ProbeResult> ProbeLibraries(const std::filesystem::path& pathSelfExe,
                                        const std::vector<ProbeRequest>& vtRequests,
                                        std::chrono::milliseconds timeLimit = kDurationProbeTimeLimit);

// The probe child's body: argv[1] is the probe argument, then the library,
// the answer descriptor and the probe's nonce. Ends the process.
[[noreturn]] void RunProbeMode(int argc, char** argv);

// One record of the launcher log:
// "[info] [2026-12-08 12:00:00.123] [4242:4242] [Launcher] [LXLauncher.cpp:120] Init"
struct LogRecord {
    std::string_view strTime;
    int64_t nPid = 0;
    std::string_view strMessage;
};
std::optional<LogRecord> ParseLogRecord(std::string_view strLine);

// The fields of a message written with the fmt-style format ("{}" marks a
// field); nullopt when the message was not written with it.
std::optional<std::vector<std::string_view>> MatchFormat(std::string_view strFormat, std::string_view strMessage);

enum class LaunchOutcome {
    ClientRan,     // the client returned a result
    ClientStarted, // the client was started and no end was recorded
    FellBack,      // another version's launcher was started
    NoClient,      // nothing started
    Aborted,       // an exception ended the launch
    Unknown,       // nothing after "Init"
};
const char* KeyOf(LaunchOutcome enOutcome);

// What one launcher process recorded, from its "Init" on.
struct LaunchSummary {
    std::string strTime;
    int64_t nPid = 0;
    LaunchOutcome enOutcome = LaunchOutcome::Unknown;
    std::optional<int64_t> optResult;     // the client's result
    std::optional<int64_t> optExitStatus; // as recorded for "no client"
    std::string strFallbackVersion;
    std::optional<int64_t> optFallbackPid;
    std::optional<int64_t> optStartedByPid; // the launch that started this one as its fallback
    std::string strReason;                  // why no client, or why the own library failed
    bool bOnlyInvoked = false;              // an older launcher's record of the attempt only
};

struct UnparsedLine {
    std::filesystem::path pathFile;
    size_t uLineNumber = 0;
    std::string strText;
};

struct LogReading {
    std::vector<LaunchSummary> vtLaunches; // oldest first
    std::vector<UnparsedLine> vtUnparsed;  // the first few only
    size_t uUnparsedCount = 0;
};

// Reads the given files, oldest first, and groups their records into launches
// by process id. Lines that are not records are counted and skipped.
LogReading ReadLaunches(const std::vector<std::filesystem::path>& vtFilesOldestFirst);

// The report as one JSON document; every text in it valid UTF-8.
std::string RenderJson(const DoctorReport& report);
// The report for a person: the version table, then each check; colour on
// request.
std::string RenderText(const DoctorReport& report, bool bColour);

} // namespace lx::doctor
