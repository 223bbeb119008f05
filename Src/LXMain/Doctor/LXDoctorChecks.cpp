#include "LXDoctorChecks.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "LXDoctorElf.h"
#include "LXDoctorLog.h"
#include "LXDoctorVersions.h"
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

Json::Value NullIfEmpty(const std::string& str)
{
    return str.empty() ? Json::Value() : Json::Value(str);
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
void CheckCommand(const DoctorOptions& options, const DoctorReport& report, CheckResult& result)
{
    const char* szPath = std::getenv("PATH");
    const std::string strPathVariable = szPath != nullptr ? szPath : "";
    fs::path pathCommand;
    for (size_t uStart = 0; uStart <= strPathVariable.size() && pathCommand.empty();) {
        const size_t uEnd = std::min(strPathVariable.find(':', uStart), strPathVariable.size());
        const std::string strDir = strPathVariable.substr(uStart, uEnd - uStart);
        uStart = uEnd + 1;
        const fs::path pathCandidate = fs::path(strDir.empty() ? "." : strDir) / options.strCommandName;
        std::error_code ec;
        if (fs::is_regular_file(fs::status(pathCandidate, ec)) && ::access(pathCandidate.c_str(), X_OK) == 0) {
            pathCommand = pathCandidate;
        }
    }
    result.facts["name"] = options.strCommandName;
    if (pathCommand.empty()) {
        result.strHeadline = "\"" + options.strCommandName + "\" is not on PATH";
        return;
    }
    std::string strRoad = options.strCommandName + " -> " + pathCommand.string();
    fs::path pathHop = pathCommand;
    for (int i = 0; i < kNMaxLinkHops; ++i) {
        std::error_code ec;
        const fs::path pathTarget = fs::read_symlink(pathHop, ec);
        if (ec) {
            break;
        }
        pathHop = (pathTarget.is_absolute() ? pathTarget : pathHop.parent_path() / pathTarget).lexically_normal();
        strRoad += " -> " + pathHop.string();
    }
    const fs::path pathTarget = Canonical(pathHop);
    if (pathTarget != pathHop) {
        strRoad += " -> " + pathTarget.string();
    }
    result.facts["path"] = pathCommand.string();
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
    if (strHome.empty()) {
        return {};
    }
    const fs::path pathDir = fs::path(lx::LauncherLogFilePathForHome(strHome)).parent_path();
    const lx::CLXRotatingLogSink::Layout layout = lx::LauncherLogLayout();
    std::vector<fs::path> vtFiles;
    for (uint32_t u32Index = 0; u32Index <= layout.u32MaxFiles; ++u32Index) {
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
        // the directory itself or one above it.
        const std::string strProblem = status.strPath + ": " + status.ec.message();
        const bool bFile = fs::path(status.strPath).parent_path() == vtFiles.front().parent_path();
        strDirectoryProblem = bFile ? "" : strProblem;
        strFileProblem = bFile ? strProblem : "its directory is refused";
    }
    result.strHeadline = vtFiles.empty() ? "(no home directory)" : vtFiles.front().string();
    result.facts["path"] = vtFiles.empty() ? Json::Value() : Json::Value(vtFiles.front().string());
    for (const auto& [szWhat, strProblem] : {std::pair{"directory", strDirectoryProblem}, {"file", strFileProblem}}) {
        result.vtFindings.push_back({szWhat, szWhat, strProblem.empty() ? "accepted" : "not accepted: " + strProblem,
                                     !strProblem.empty(), Json::Value()});
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
                  (launch.strReason.empty() ? "" : ": " + launch.strReason);
        break;
    case LaunchOutcome::Aborted:
        strText = launch.strReason;
        break;
    case LaunchOutcome::Unknown:
        strText = "no outcome recorded" + (launch.strReason.empty() ? "" : ": " + launch.strReason);
        break;
    }
    if (launch.optStartedByPid) {
        strText += " (fallback of " + std::to_string(*launch.optStartedByPid) + ")";
    }
    return strText;
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
        Finding finding{"launch", launch.strTime + "  pid " + std::to_string(launch.nPid), LaunchText(launch), false,
                        Json::Value(Json::objectValue)};
        finding.facts["time"] = launch.strTime;
        finding.facts["pid"] = static_cast<Json::Int64>(launch.nPid);
        finding.facts["outcome"] = KeyOf(launch.enOutcome);
        finding.facts["result"] = NullOr(launch.optResult);
        finding.facts["exit_status"] = NullOr(launch.optExitStatus);
        finding.facts["fallback_version"] = NullIfEmpty(launch.strFallbackVersion);
        finding.facts["fallback_pid"] = NullOr(launch.optFallbackPid);
        finding.facts["started_by_pid"] = NullOr(launch.optStartedByPid);
        result.vtFindings.push_back(std::move(finding));
    }
}

void CheckEntry(const fs::path& path, const DoctorReport& report, CheckResult& result)
{
    struct stat stStat {};
    if (::lstat(path.c_str(), &stStat) != 0) {
        return;
    }
    if (!S_ISLNK(stStat.st_mode) && (stStat.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        const bool bGroup = (stStat.st_mode & S_IWGRP) != 0;
        const bool bOthers = (stStat.st_mode & S_IWOTH) != 0;
        result.vtFindings.push_back(Warn("writable", path,
                                         path.string() + " is writable by " + (bGroup ? "group" : "") +
                                             (bGroup && bOthers ? " and " : "") + (bOthers ? "others" : "")));
    }
    if (stStat.st_uid != 0 && stStat.st_uid != report.nRootOwner) {
        result.vtFindings.push_back(Warn("owner", path,
                                         path.string() + " is owned by " + UserName(stStat.st_uid) + ", not root or " +
                                             report.strRootOwner + " (the installation's owner)"));
    }
}

// Who could change what the launcher loads and starts.
void CheckPermissions(const DoctorOptions&, const DoctorReport& report, CheckResult& result)
{
    for (const VersionRow& row : report.vtVersions) {
        CheckEntry(row.stVersion.path, report, result);
        std::error_code ec;
        fs::recursive_directory_iterator it(row.stVersion.path, fs::directory_options::skip_permission_denied, ec);
        size_t uCount = 0;
        for (const fs::recursive_directory_iterator itEnd; !ec && it != itEnd && uCount < kUMaxWalkedEntries;
             it.increment(ec), ++uCount) {
            CheckEntry(it->path(), report, result);
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
    std::vector<fs::path> vtAllowed;
    for (const char* szDir : {"/lib", "/usr/lib", "/lib64", "/usr/lib64"}) {
        vtAllowed.push_back(Canonical(szDir));
    }
    if (const auto optLoader = ReadElfFacts(options.pathSelfExe).optStrInterpreter) {
        vtAllowed.push_back(Canonical(fs::path(*optLoader).parent_path()));
    }
    vtAllowed.push_back(Canonical(report.pathRoot));
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

void Summarise(DoctorReport& report)
{
    if (report.vtVersions.empty()) {
        report.nExitStatus = kNDoctorNoClient;
        report.strSummary = "No client would start: there is no version directory in " + report.pathRoot.string();
        return;
    }
    const Verdict& newest = report.vtVersions.front().verdict;
    const std::string strNewest = "the newest version, " + report.vtVersions.front().strName + ", " + newest.strText;
    if (newest.enKind == VerdictKind::RunsClient) {
        report.nExitStatus = kNDoctorRuns;
        report.strSummary = "OK: " + strNewest;
    } else if (newest.enKind == VerdictKind::FallsBack) {
        report.nExitStatus = kNDoctorFallback;
        report.strSummary = "Needs a fallback: " + strNewest;
    } else {
        report.nExitStatus = kNDoctorNoClient;
        report.strSummary = "No client would start: " + strNewest;
    }
}

} // namespace

namespace lx::doctor {

const std::vector<Check>& Checks()
{
    static const std::vector<Check> kVtChecks{
        {"command", "Command", CheckCommand},    {"log", "Log", CheckLog},
        {"launches", "Launches", CheckLaunches}, {"permissions", "Permissions", CheckPermissions},
        {"builds", "Builds", CheckBuilds},       {"dependencies", "Dependencies", CheckDependencies},
    };
    return kVtChecks;
}

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
        return std::nullopt;
    }
    if (!fs::is_directory(stRoot)) {
        strError = report.pathRoot.string() + (ec ? " cannot be examined: " + ec.message() : " is not a directory");
        return std::nullopt;
    }
    if (fs::directory_iterator itProbe(report.pathRoot, ec); ec) {
        strError = report.pathRoot.string() + " cannot be read: " + ec.message();
        return std::nullopt;
    }
    struct stat stRootStat {};
    if (::stat(report.pathRoot.c_str(), &stRootStat) == 0) {
        report.nRootOwner = stRootStat.st_uid;
    }
    report.strRootOwner = UserName(report.nRootOwner);
    report.probeTimeLimit = options.probeTimeLimit;
    report.vtVersions = ExamineVersions(report.pathRoot, options.pathSelfExe, options.probeTimeLimit);
    for (const Check& check : Checks()) {
        CheckResult result{check.szKey, check.szTitle, {}, Json::Value(Json::objectValue), {}};
        check.funcRun(options, report, result);
        report.vtChecks.push_back(std::move(result));
    }
    Summarise(report);
    return report;
}

} // namespace lx::doctor
