#include <sys/stat.h>
#include <unistd.h>

#include "LXDoctor.h"
#include "LXLauncherLog.h"
#include "LXPosix.h"

namespace fs = std::filesystem;

namespace {

using namespace lx::doctor;

// Symbolic links followed before a command is given up as a loop.
constexpr int kNMaxLinkHops = 40;
// Entries looked at per version directory, so a huge or looping tree cannot
// stall the doctor.
constexpr size_t kUMaxWalkedEntries = 20000;

std::string UserName(uid_t nUid)
{
    const std::optional<lx::UserEntry> optUser = lx::LookUpUser(nUid);
    return optUser ? optUser->strName : "uid " + std::to_string(nUid);
}

fs::path Canonical(const fs::path& path)
{
    std::error_code ec;
    fs::path pathCanonical = fs::weakly_canonical(path, ec);
    return ec ? path.lexically_normal() : pathCanonical;
}

template <typename T>
Json::Value NullOr(const std::optional<T>& optValue)
{
    return optValue ? Json::Value(static_cast<Json::Int64>(*optValue)) : Json::Value();
}

Finding Warn(std::string strKind, const fs::path& path, std::string strText)
{
    Finding finding{std::move(strKind), {}, std::move(strText), true, Json::Value(Json::objectValue)};
    finding.facts["path"] = path.string();
    return finding;
}

// Where the command leads on PATH, link by link, and what starting it does.
void CheckCommand(const DoctorOptions&, const DoctorReport& report, CheckResult& result)
{
    result.facts["name"] = kszCommandName;
    const std::optional<fs::path> optCommand = lx::SearchPath(kszCommandName);
    if (!optCommand) {
        result.strHeadline = std::string("\"") + kszCommandName + "\" is not on PATH";
        return;
    }
    std::string strRoad = std::string(kszCommandName) + " -> " + optCommand->string();
    fs::path pathHop = *optCommand;
    std::error_code ec;
    for (int i = 0; i < kNMaxLinkHops && fs::is_symlink(fs::symlink_status(pathHop, ec)); ++i) {
        pathHop = (pathHop.parent_path() / fs::read_symlink(pathHop, ec)).lexically_normal();
        strRoad += " -> " + pathHop.string();
    }
    const fs::path pathTarget = Canonical(pathHop);
    strRoad += pathTarget != pathHop ? " -> " + pathTarget.string() : "";
    result.facts["path"] = optCommand->string();
    result.facts["target"] = pathTarget.string();
    for (const VersionRow& row : report.vtVersions) {
        if (Canonical(row.stVersion.path) == pathTarget.parent_path() && pathTarget.filename() == kszLauncherFileName) {
            result.facts["version"] = row.strName;
            result.facts["outcome"] = KeyOf(row.verdict.enKind);
            result.strHeadline = strRoad + ": " + row.strName + " " + row.verdict.strText;
            return;
        }
    }
    result.strHeadline = strRoad + ", which is not a launcher of the installation examined";
}

// The launcher log's files for this user, the live one first; empty when no
// home is known.
std::vector<fs::path> LogFiles()
{
    const std::string strHome = lx::HomeDirectory();
    const fs::path pathDir = fs::path(lx::LauncherLogFilePathForHome(strHome)).parent_path();
    const lx::CLXRotatingLogSink::Layout layout = lx::LauncherLogLayout();
    std::vector<fs::path> vtFiles;
    for (uint32_t u32Index = 0; u32Index <= layout.u32MaxFiles && !strHome.empty(); ++u32Index) {
        vtFiles.push_back(pathDir / lx::CLXRotatingLogSink::FileName(layout, u32Index));
    }
    return vtFiles;
}

// Whether the launcher would accept the log where it is, and its files.
void CheckLog(const DoctorOptions&, const DoctorReport&, CheckResult& result)
{
    const std::vector<fs::path> vtFiles = LogFiles();
    std::string strDirectoryProblem;
    std::string strFileProblem;
    if (vtFiles.empty()) {
        strDirectoryProblem = strFileProblem = "no home directory is known";
    } else if (const lx::LogPathStatus status = lx::CheckLauncherLog(lx::HomeDirectory()); status.ec) {
        // The check names what it refused: a file in the log directory, or
        // the directory itself or one above it, where the launcher may not
        // write.
        const bool bCannotWrite = status.ec.category() == std::generic_category() &&
                                  (status.ec == std::errc::permission_denied ||
                                   status.ec == std::errc::read_only_file_system);
        const std::string strProblem = (bCannotWrite ? "the log cannot be created: " : "not accepted: ") +
                                       status.strPath + ": " + status.ec.message();
        const bool bFile = fs::path(status.strPath).parent_path() == vtFiles.front().parent_path();
        strDirectoryProblem = bFile ? "" : strProblem;
        strFileProblem = bFile ? strProblem : "not accepted: its directory is refused";
    }
    result.strHeadline = vtFiles.empty() ? "(no home directory)" : vtFiles.front().string();
    result.facts["path"] = vtFiles.empty() ? Json::Value() : Json::Value(vtFiles.front().string());
    for (const auto& [szWhat, strProblem] : {std::pair{"directory", strDirectoryProblem}, {"file", strFileProblem}}) {
        result.vtFindings.push_back(
            {szWhat, szWhat, strProblem.empty() ? "accepted" : strProblem, !strProblem.empty(), Json::Value()});
    }
    for (const fs::path& pathFile : vtFiles) {
        std::error_code ec;
        const fs::file_status stStatus = fs::symlink_status(pathFile, ec);
        const uintmax_t uSize = fs::is_regular_file(stStatus) ? fs::file_size(pathFile, ec) : 0;
        Finding finding{"log-file", pathFile.filename().string(), "absent", false, Json::Value(Json::objectValue)};
        if (fs::exists(stStatus)) {
            finding.strText = fs::is_regular_file(stStatus) ? std::to_string(ec ? 0 : uSize) + " bytes"
                                                            : "not a regular file, not read";
        }
        finding.facts["path"] = pathFile.string();
        result.vtFindings.push_back(std::move(finding));
    }
}

std::string LaunchText(const LaunchSummary& launch)
{
    const std::string strReason = launch.strReason.empty() ? "" : ": " + launch.strReason;
    std::string strText;
    switch (launch.enOutcome) {
    case LaunchOutcome::ClientRan:
        strText = "client ran, result " + (launch.optResult ? std::to_string(*launch.optResult) : "?");
        break;
    case LaunchOutcome::ClientStarted:
        strText = "client started, no end recorded";
        break;
    case LaunchOutcome::FellBack:
        strText = "fell back to " + launch.strFallbackVersion +
                  (launch.optFallbackPid ? " (pid " + std::to_string(*launch.optFallbackPid) + ")" : "");
        break;
    case LaunchOutcome::NoClient:
        strText = "no client" +
                  (launch.optExitStatus ? ", exit status " + std::to_string(*launch.optExitStatus) : std::string()) +
                  strReason;
        break;
    case LaunchOutcome::Aborted:
        strText = launch.strReason;
        break;
    case LaunchOutcome::Unknown:
        strText = "no outcome recorded" + strReason;
        break;
    }
    return strText +
           (launch.optStartedByPid ? " (fallback of " + std::to_string(*launch.optStartedByPid) + ")" : std::string());
}

// The last launches the log recorded, grouped by process.
void CheckLaunches(const DoctorOptions& options, const DoctorReport&, CheckResult& result)
{
    std::vector<fs::path> vtOldestFirst = LogFiles();
    std::reverse(vtOldestFirst.begin(), vtOldestFirst.end());
    const LogReading reading = ReadLaunches(vtOldestFirst);
    const size_t uShown = std::min(options.uLogLines, reading.vtLaunches.size());
    result.strHeadline = uShown == 0
                             ? "none recorded"
                             : "last " + std::to_string(uShown) + " of " + std::to_string(reading.vtLaunches.size());
    result.facts["total"] = static_cast<Json::UInt64>(reading.vtLaunches.size());
    result.facts["unparsed_lines"] = static_cast<Json::UInt64>(reading.uUnparsedCount);
    if (reading.uUnparsedCount > 0) {
        result.strHeadline +=
            "; " + std::to_string(reading.uUnparsedCount) + " line(s) are not launcher records and were skipped";
    }
    for (const UnparsedLine& line : reading.vtUnparsed) {
        result.vtFindings.push_back({"unparsed",
                                     line.pathFile.filename().string() + ":" + std::to_string(line.uLineNumber),
                                     line.strText, true, Json::Value()});
    }
    for (size_t i = reading.vtLaunches.size() - uShown; i < reading.vtLaunches.size(); ++i) {
        const LaunchSummary& launch = reading.vtLaunches[i];
        Finding& finding = result.vtFindings.emplace_back();
        finding = {"launch", launch.strTime + "  pid " + std::to_string(launch.nPid), LaunchText(launch), false,
                   Json::Value(Json::objectValue)};
        finding.facts["time"] = launch.strTime;
        finding.facts["pid"] = static_cast<Json::Int64>(launch.nPid);
        finding.facts["outcome"] = KeyOf(launch.enOutcome);
        finding.facts["result"] = NullOr(launch.optResult);
        finding.facts["exit_status"] = NullOr(launch.optExitStatus);
        finding.facts["fallback_version"] =
            launch.strFallbackVersion.empty() ? Json::Value() : Json::Value(launch.strFallbackVersion);
        finding.facts["fallback_pid"] = NullOr(launch.optFallbackPid);
        finding.facts["started_by_pid"] = NullOr(launch.optStartedByPid);
    }
}

// Who could change what the launcher loads and starts.
void CheckPermissions(const DoctorOptions&, const DoctorReport& report, CheckResult& result)
{
    const auto CheckEntry = [&](const fs::path& path) {
        struct stat stStat {};
        if (::lstat(path.c_str(), &stStat) != 0) {
            return;
        }
        const bool bGroup = (stStat.st_mode & S_IWGRP) != 0;
        const bool bOthers = (stStat.st_mode & S_IWOTH) != 0;
        if (!S_ISLNK(stStat.st_mode) && (bGroup || bOthers)) {
            result.vtFindings.push_back(Warn("writable", path,
                                             path.string() + " is writable by " + (bGroup ? "group" : "") +
                                                 (bGroup && bOthers ? " and " : "") + (bOthers ? "others" : "")));
        }
        if (stStat.st_uid != 0 && stStat.st_uid != report.nRootOwner) {
            result.vtFindings.push_back(Warn("owner", path,
                                             path.string() + " is owned by " + UserName(stStat.st_uid) +
                                                 ", not root or " + report.strRootOwner + " (the installation's owner)"));
        }
    };
    for (const VersionRow& row : report.vtVersions) {
        CheckEntry(row.stVersion.path);
        std::error_code ec;
        fs::recursive_directory_iterator it(row.stVersion.path, fs::directory_options::skip_permission_denied, ec);
        size_t uCount = 0;
        for (const fs::recursive_directory_iterator itEnd; !ec && it != itEnd && uCount < kUMaxWalkedEntries;
             it.increment(ec), ++uCount) {
            CheckEntry(it->path());
        }
    }
}

// A launcher built as another version than its directory says.
void CheckBuilds(const DoctorOptions&, const DoctorReport& report, CheckResult& result)
{
    for (const VersionRow& row : report.vtVersions) {
        if (row.launcher.bVersionMismatch) {
            result.vtFindings.push_back(Warn("version-mismatch", row.launcher.path,
                                             row.launcher.path.string() + " was built as " +
                                                 *row.launcher.optStrCompiledVersion + ", not as version " +
                                                 row.strName));
        }
    }
}

// Libraries that load code from places nobody vetted.
void CheckDependencies(const DoctorOptions& options, const DoctorReport& report, CheckResult& result)
{
    std::vector<fs::path> vtAllowed{Canonical("/lib"), Canonical("/usr/lib"), Canonical("/lib64"),
                                    Canonical("/usr/lib64"), Canonical(report.pathRoot)};
    if (const auto optLoader = ReadElfFacts(options.pathSelfExe).optStrInterpreter) {
        vtAllowed.push_back(Canonical(fs::path(*optLoader).parent_path()));
    }
    for (const VersionRow& row : report.vtVersions) {
        for (const std::string& strObject : row.library.vtLoadedObjects) {
            const fs::path pathObject = Canonical(strObject);
            const bool bAllowed = std::any_of(vtAllowed.begin(), vtAllowed.end(), [&](const fs::path& pathDir) {
                const fs::path pathRelative = pathObject.lexically_relative(pathDir);
                return !pathRelative.empty() && *pathRelative.begin() != "..";
            });
            if (!bAllowed) {
                result.vtFindings.push_back(Warn("outside-dependency", pathObject,
                                                 row.strName + "'s main-application library loads " +
                                                     pathObject.string() +
                                                     " from outside the system's library directories and the "
                                                     "installation"));
            }
        }
    }
}

// One small check: it reads the options and the version table, and adds
// its findings to the result; none means nothing to report.
struct Check {
    const char* szKey;
    const char* szTitle;
    void (*funcRun)(const DoctorOptions& options, const DoctorReport& report, CheckResult& result);
};

// In the order they are reported.
constexpr Check kArrChecks[] = {
    {"command", "Command", CheckCommand},    {"log", "Log", CheckLog},
    {"launches", "Launches", CheckLaunches}, {"permissions", "Permissions", CheckPermissions},
    {"builds", "Builds", CheckBuilds},       {"dependencies", "Dependencies", CheckDependencies},
};

} // namespace

namespace lx::doctor {

std::optional<DoctorReport> Examine(const DoctorOptions& options, std::string& strError)
{
    DoctorReport report;
    std::error_code ec;
    report.pathRoot = fs::absolute(options.pathRoot, ec).lexically_normal();
    if (!report.pathRoot.has_filename() && report.pathRoot != report.pathRoot.root_path()) {
        report.pathRoot = report.pathRoot.parent_path();
    }
    const fs::file_status stRoot = fs::status(report.pathRoot, ec);
    if (stRoot.type() == fs::file_type::not_found) {
        strError = report.pathRoot.string() + " does not exist";
    } else if (!fs::is_directory(stRoot)) {
        strError = report.pathRoot.string() + (ec ? " cannot be examined: " + ec.message() : " is not a directory");
    } else if (fs::directory_iterator itProbe(report.pathRoot, ec); ec) {
        strError = report.pathRoot.string() + " cannot be read: " + ec.message();
    }
    if (!strError.empty()) {
        return std::nullopt;
    }
    struct stat stRootStat {};
    report.nRootOwner = ::stat(report.pathRoot.c_str(), &stRootStat) == 0 ? stRootStat.st_uid : 0;
    report.strRootOwner = UserName(report.nRootOwner);
    report.probeTimeLimit = options.probeTimeLimit;
    report.vtVersions = ExamineVersions(report.pathRoot, options.pathSelfExe, options.probeTimeLimit);
    for (const Check& check : kArrChecks) {
        CheckResult& result = report.vtChecks.emplace_back();
        result = {check.szKey, check.szTitle, {}, Json::Value(Json::objectValue), {}};
        check.funcRun(options, report, result);
    }
    // The newest version's verdict is the doctor's.
    const VerdictKind enNewest = report.vtVersions.empty() ? VerdictKind::NoClient : report.vtVersions[0].verdict.enKind;
    report.nExitStatus = enNewest == VerdictKind::RunsClient  ? kNDoctorRuns
                         : enNewest == VerdictKind::FallsBack ? kNDoctorFallback
                                                              : kNDoctorNoClient;
    constexpr const char* kArrSzOpenings[] = {"OK: ", "Needs a fallback: ", "No client would start: "};
    report.strSummary = kArrSzOpenings[report.nExitStatus] +
                        (report.vtVersions.empty() ? "there is no version directory in " + report.pathRoot.string()
                                                   : "the newest version, " + report.vtVersions[0].strName + ", " +
                                                         report.vtVersions[0].verdict.strText);
    return report;
}

} // namespace lx::doctor
