#include "LXDoctorInspect.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <limits>

#include "LXDoctorElf.h"
#include "LXDoctorRules.h"
#include "LXFallback.h"
#include "LXPosix.h"

namespace fs = std::filesystem;

namespace {

using namespace lx::doctor;

// Symbolic links followed before a command is given up as a loop.
constexpr int kNMaxLinkHops = 40;
// Entries looked at per version directory for the warnings, so a huge or
// looping tree cannot stall the doctor.
constexpr size_t kUMaxWalkedEntries = 20000;

std::string UserName(uid_t nUid)
{
    const std::optional<lx::UserEntry> optUser = lx::LookUpUser(nUid);
    return optUser ? optUser->strName : "uid " + std::to_string(nUid);
}

bool IsUnder(const fs::path& path, const fs::path& pathDir)
{
    if (pathDir.empty()) {
        return false;
    }
    const fs::path pathRelative = path.lexically_relative(pathDir);
    return !pathRelative.empty() && *pathRelative.begin() != "..";
}

fs::path Canonical(const fs::path& path)
{
    std::error_code ec;
    fs::path pathCanonical = fs::weakly_canonical(path, ec);
    return ec ? path.lexically_normal() : pathCanonical;
}

std::string InterpreterProblem(const std::string& strInterpreter)
{
    if (strInterpreter.empty()) {
        return "its \"#!\" line names no interpreter";
    }
    if (::access(strInterpreter.c_str(), X_OK) != 0) {
        return "its interpreter " + strInterpreter + " is missing or cannot be run (" + std::strerror(errno) + ")";
    }
    return {};
}

void CompareWithDirectory(LauncherFileFacts& facts, const fs::path& pathDir)
{
    if (!facts.optStrCompiledVersion) {
        return;
    }
    facts.optCompiledVersion = ParseVersionText(*facts.optStrCompiledVersion);
    const std::optional<Version> optDirVersion = ParseVersionText(pathDir.filename().string());
    if (facts.optCompiledVersion && optDirVersion) {
        const Version& c = *facts.optCompiledVersion;
        facts.bVersionMismatch =
            c.uMajor != optDirVersion->uMajor || c.uMinor != optDirVersion->uMinor || c.uPatch != optDirVersion->uPatch;
    }
}

std::vector<ProbeRequest> ProbeRequests(const std::vector<VersionFacts>& vtVersions, std::vector<size_t>& vtIndexes)
{
    std::vector<ProbeRequest> vtRequests;
    for (size_t i = 0; i < vtVersions.size(); ++i) {
        std::error_code ec;
        if (fs::status(vtVersions[i].pathLibrary, ec).type() == fs::file_type::not_found) {
            continue;
        }
        // The launcher's own run path names its directory; a library with
        // a run path of its own makes the loader ignore it.
        const ElfFacts elf = ReadElfFacts(vtVersions[i].pathLibrary);
        vtRequests.push_back({vtVersions[i].pathLibrary, elf.bHasRunPath ? fs::path() : vtVersions[i].stVersion.path});
        vtIndexes.push_back(i);
    }
    return vtRequests;
}

std::string Words(const std::string& strFirst, const std::string& strSecond)
{
    if (strFirst.empty() || strSecond.empty()) {
        return strFirst + strSecond;
    }
    return strFirst + " and " + strSecond;
}

void CheckEntry(const fs::path& path, const DoctorReport& report, std::vector<Warning>& vtWarnings)
{
    struct stat stStat {};
    if (::lstat(path.c_str(), &stStat) != 0) {
        return;
    }
    if (!S_ISLNK(stStat.st_mode) && (stStat.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        const std::string strWho =
            Words((stStat.st_mode & S_IWGRP) != 0 ? "group" : "", (stStat.st_mode & S_IWOTH) != 0 ? "others" : "");
        vtWarnings.push_back({"writable", path, path.string() + " is writable by " + strWho});
    }
    if (stStat.st_uid != 0 && stStat.st_uid != report.nRootOwner) {
        vtWarnings.push_back({"owner", path,
                              path.string() + " is owned by " + UserName(stStat.st_uid) + ", not root or " +
                                  report.strRootOwner + " (the installation's owner)"});
    }
}

void CheckTree(const fs::path& pathDir, const DoctorReport& report, std::vector<Warning>& vtWarnings)
{
    CheckEntry(pathDir, report, vtWarnings);
    std::error_code ec;
    fs::recursive_directory_iterator it(pathDir, fs::directory_options::skip_permission_denied, ec);
    size_t uCount = 0;
    for (const fs::recursive_directory_iterator itEnd; !ec && it != itEnd && uCount < kUMaxWalkedEntries;
         it.increment(ec), ++uCount) {
        CheckEntry(it->path(), report, vtWarnings);
    }
}

void CheckDependencies(const VersionFacts& version, const fs::path& pathSelfExe, const DoctorReport& report,
                       std::vector<Warning>& vtWarnings)
{
    std::vector<fs::path> vtAllowed;
    for (const char* szDir : {"/lib", "/usr/lib", "/lib64", "/usr/lib64"}) {
        vtAllowed.push_back(Canonical(szDir));
    }
    if (const auto optLoader = ReadElfFacts(pathSelfExe).optStrInterpreter) {
        vtAllowed.push_back(Canonical(fs::path(*optLoader).parent_path()));
    }
    vtAllowed.push_back(Canonical(report.pathRoot));
    for (const std::string& strObject : version.library.vtLoadedObjects) {
        const fs::path pathObject = Canonical(strObject);
        bool bAllowed = false;
        for (const fs::path& pathDir : vtAllowed) {
            bAllowed = bAllowed || IsUnder(pathObject, pathDir);
        }
        if (!bAllowed) {
            vtWarnings.push_back({"outside-dependency", pathObject,
                                  version.strName + "'s main-application library loads " + pathObject.string() +
                                      " from outside the system's library directories and the installation"});
        }
    }
}

void DescribeEnvironment(DoctorReport& report, const std::optional<std::string>& optCeiling)
{
    EnvironmentFacts& env = report.environment;
    env.bCeilingSet = optCeiling.has_value();
    if (!optCeiling) {
        env.strText = std::string(FallbackCeilingVariable()) + " is not set";
        return;
    }
    env.strCeilingValue = *optCeiling;
    const lx::FallbackCeiling ceiling = lx::FallbackCeiling::Read(optCeiling->c_str());
    env.bCeilingValid = ceiling.optInherited.has_value();
    if (env.bCeilingValid) {
        env.strCeiling = FormatVersion(*ceiling.optInherited);
    }
    for (size_t i = 0; i < report.vtVersions.size(); ++i) {
        const Verdict without = PredictLaunch(report.vtVersions, i, std::nullopt);
        if (without.strText != report.vtVerdicts[i].strText) {
            env.vtChanges.push_back(report.vtVersions[i].strName + " " + report.vtVerdicts[i].strText +
                                    " instead of: " + without.strText);
        }
    }
    const std::string strName = std::string(FallbackCeilingVariable()) + "=" + *optCeiling;
    if (!env.bCeilingValid) {
        env.strText = strName + " is set but is not a version: the launcher ignores it";
    } else if (env.vtChanges.empty()) {
        env.strText = strName + " caps every fallback below " + env.strCeiling + "; it changes no verdict here";
    } else {
        env.strText = strName + " caps every fallback below " + env.strCeiling + "; it changes " +
                      std::to_string(env.vtChanges.size()) + " verdict(s)";
    }
}

void DescribeCommand(DoctorReport& report)
{
    CommandFacts& command = report.command;
    if (!command.bFound) {
        command.strText = "\"" + command.strName + "\" is not on PATH";
        return;
    }
    const fs::path pathDir = command.pathTarget.parent_path();
    for (size_t i = 0; i < report.vtVersions.size(); ++i) {
        if (Canonical(report.vtVersions[i].stVersion.path) == pathDir &&
            command.pathTarget.filename() == kszLauncherFileName) {
            command.optVersionIndex = i;
        }
    }
    std::string strRoad = command.strName;
    for (const fs::path& pathHop : command.vtHops) {
        strRoad += " -> " + pathHop.string();
    }
    if (!command.optVersionIndex) {
        command.strText = strRoad + ", which is not a launcher of the installation examined";
        return;
    }
    command.optVerdict = report.vtVerdicts[*command.optVersionIndex];
    command.strText =
        strRoad + ": " + report.vtVersions[*command.optVersionIndex].strName + " " + command.optVerdict->strText;
}

void DescribeLog(DoctorReport& report, size_t uLogLines)
{
    LogFacts& log = report.log;
    const std::vector<fs::path> vtFiles = LauncherLogFiles();
    const LogCheck check = CheckLauncherLog();
    log.strDirectoryProblem = check.strDirectoryProblem;
    log.bDirectoryAccepted = log.strDirectoryProblem.empty();
    log.strFileProblem = check.strFileProblem;
    log.bFileAccepted = log.strFileProblem.empty();
    if (vtFiles.empty()) {
        return;
    }
    log.path = vtFiles.front();

    std::vector<fs::path> vtOldestFirst;
    for (const fs::path& pathFile : vtFiles) {
        LogFileFacts file{pathFile};
        std::error_code ec;
        const fs::file_status stStatus = fs::symlink_status(file.path, ec);
        file.bExists = fs::exists(stStatus);
        file.bRegular = fs::is_regular_file(stStatus);
        if (file.bRegular) {
            file.uSize = fs::file_size(file.path, ec);
            if (ec) {
                file.uSize = 0;
            }
        }
        log.vtFiles.push_back(file);
        vtOldestFirst.insert(vtOldestFirst.begin(), file.path);
    }
    LogReading reading = ReadLaunches(vtOldestFirst);
    log.uLaunchesTotal = reading.vtLaunches.size();
    const size_t uSkip = reading.vtLaunches.size() > uLogLines ? reading.vtLaunches.size() - uLogLines : 0;
    log.vtLaunches.assign(reading.vtLaunches.begin() + static_cast<std::ptrdiff_t>(uSkip), reading.vtLaunches.end());
    log.vtUnparsed = std::move(reading.vtUnparsed);
    log.uUnparsedCount = reading.uUnparsedCount;
}

void Summarise(DoctorReport& report)
{
    if (report.vtVersions.empty()) {
        report.nExitStatus = kNDoctorNoClient;
        report.strSummary = "No client would start: there is no version directory in " + report.pathRoot.string();
        return;
    }
    const Verdict& newest = report.vtVerdicts.front();
    const std::string strNewest = "the newest version, " + report.vtVersions.front().strName + ", " + newest.strText;
    switch (newest.enKind) {
    case VerdictKind::RunsClient:
        report.nExitStatus = kNDoctorRuns;
        report.strSummary = "OK: " + strNewest;
        break;
    case VerdictKind::FallsBack:
        report.nExitStatus = kNDoctorFallback;
        report.strSummary = "Needs a fallback: " + strNewest;
        break;
    default:
        report.nExitStatus = kNDoctorNoClient;
        report.strSummary = "No client would start: " + strNewest;
        break;
    }
}

} // namespace

namespace lx::doctor {

const char* LauncherFileStateKey(LauncherFileState enState)
{
    switch (enState) {
    case LauncherFileState::Ok:
        return "ok";
    case LauncherFileState::Missing:
        return "missing";
    case LauncherFileState::Unreadable:
        return "unreadable";
    case LauncherFileState::Directory:
        return "directory";
    case LauncherFileState::NotRegular:
        return "not-regular";
    case LauncherFileState::NotExecutable:
        return "not-executable";
    case LauncherFileState::MissingInterpreter:
        break;
    }
    return "missing-interpreter";
}

const char* VerdictKindKey(VerdictKind enKind)
{
    switch (enKind) {
    case VerdictKind::NotStartable:
        return "not-startable";
    case VerdictKind::RunsClient:
        return "runs-client";
    case VerdictKind::FallsBack:
        return "falls-back";
    case VerdictKind::NoClient:
        return "no-client";
    case VerdictKind::Hangs:
        return "hangs";
    case VerdictKind::Crashes:
        return "crashes";
    case VerdictKind::Unknown:
        break;
    }
    return "unknown";
}

LauncherFileFacts ExamineLauncherFile(const fs::path& path)
{
    LauncherFileFacts facts;
    facts.path = path;
    std::error_code ec;
    const fs::file_status stStatus = fs::status(path, ec);
    auto Set = [&](LauncherFileState enState, std::string strProblem) {
        facts.enState = enState;
        facts.strProblem = std::move(strProblem);
        return facts;
    };
    if (stStatus.type() == fs::file_type::not_found) {
        return Set(LauncherFileState::Missing, "missing");
    }
    if (ec) {
        return Set(LauncherFileState::Unreadable, "cannot be examined: " + ec.message());
    }
    if (fs::is_directory(stStatus)) {
        return Set(LauncherFileState::Directory, "is a directory");
    }
    if (!fs::is_regular_file(stStatus)) {
        return Set(LauncherFileState::NotRegular, "is not a regular file");
    }
    const ElfFacts elf = ReadElfFacts(path);
    facts.optStrCompiledVersion = elf.optStrVersionNote;
    CompareWithDirectory(facts, path.parent_path());
    if (::access(path.c_str(), X_OK) != 0) {
        return Set(LauncherFileState::NotExecutable, std::string("is not executable (") + std::strerror(errno) + ")");
    }
    if (elf.bIsElf && elf.optStrInterpreter) {
        if (std::string strProblem = InterpreterProblem(*elf.optStrInterpreter); !strProblem.empty()) {
            return Set(LauncherFileState::MissingInterpreter, std::move(strProblem));
        }
    } else if (!elf.bIsElf) {
        if (const auto optInterpreter = ReadScriptInterpreter(path)) {
            if (std::string strProblem = InterpreterProblem(*optInterpreter); !strProblem.empty()) {
                return Set(LauncherFileState::MissingInterpreter, std::move(strProblem));
            }
        }
    }
    return Set(LauncherFileState::Ok, {});
}

CommandFacts ResolveCommand(const std::string& strName, const std::string& strPathVariable)
{
    CommandFacts command;
    command.strName = strName;
    size_t uStart = 0;
    while (uStart <= strPathVariable.size() && !command.bFound) {
        const size_t uEnd = std::min(strPathVariable.find(':', uStart), strPathVariable.size());
        const std::string strDir = strPathVariable.substr(uStart, uEnd - uStart);
        uStart = uEnd + 1;
        const fs::path pathCandidate = fs::path(strDir.empty() ? "." : strDir) / strName;
        std::error_code ec;
        if (fs::is_regular_file(fs::status(pathCandidate, ec)) && ::access(pathCandidate.c_str(), X_OK) == 0) {
            command.bFound = true;
            command.pathCommand = pathCandidate;
        }
    }
    if (!command.bFound) {
        return command;
    }
    fs::path pathHop = command.pathCommand;
    command.vtHops.push_back(pathHop);
    for (int i = 0; i < kNMaxLinkHops; ++i) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(pathHop, ec))) {
            break;
        }
        const fs::path pathTarget = fs::read_symlink(pathHop, ec);
        if (ec) {
            break;
        }
        pathHop = (pathTarget.is_absolute() ? pathTarget : pathHop.parent_path() / pathTarget).lexically_normal();
        command.vtHops.push_back(pathHop);
    }
    command.pathTarget = Canonical(pathHop);
    if (command.pathTarget != command.vtHops.back()) {
        command.vtHops.push_back(command.pathTarget);
    }
    return command;
}

std::optional<DoctorReport> Examine(const DoctorOptions& options, std::string& strError)
{
    DoctorReport report;
    std::error_code ec;
    report.pathRoot = fs::absolute(options.pathRoot, ec).lexically_normal();
    if (report.pathRoot.has_filename() == false && report.pathRoot != report.pathRoot.root_path()) {
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

    for (const Version& stVersion : ScanVersions(report.pathRoot)) {
        VersionFacts facts;
        facts.strName = stVersion.path.filename().string();
        facts.stVersion = stVersion;
        facts.launcher = ExamineLauncherFile(stVersion.path / kszLauncherFileName);
        facts.pathLibrary = stVersion.path / MainAppLibraryName();
        facts.library.enState = LibraryState::Missing;
        report.vtVersions.push_back(std::move(facts));
    }

    std::vector<size_t> vtIndexes;
    const std::vector<ProbeRequest> vtRequests = ProbeRequests(report.vtVersions, vtIndexes);
    std::vector<ProbeResult> vtResults = ProbeLibraries(options.pathSelfExe, vtRequests, options.probeTimeLimit);
    for (size_t i = 0; i < vtIndexes.size(); ++i) {
        report.vtVersions[vtIndexes[i]].library = std::move(vtResults[i]);
    }

    std::optional<std::string> optCeiling;
    if (const char* szCeiling = std::getenv(FallbackCeilingVariable()); szCeiling != nullptr) {
        optCeiling = szCeiling;
    }
    for (size_t i = 0; i < report.vtVersions.size(); ++i) {
        report.vtVerdicts.push_back(PredictLaunch(report.vtVersions, i, optCeiling));
    }
    DescribeEnvironment(report, optCeiling);

    const char* szPath = std::getenv("PATH");
    report.command = ResolveCommand(options.strCommandName, szPath != nullptr ? szPath : "");
    DescribeCommand(report);
    DescribeLog(report, options.uLogLines);

    for (const VersionFacts& version : report.vtVersions) {
        if (version.launcher.bVersionMismatch) {
            report.vtWarnings.push_back({"version-mismatch", version.launcher.path,
                                         version.launcher.path.string() + " was built as " +
                                             *version.launcher.optStrCompiledVersion + ", not as version " +
                                             version.strName});
        }
        CheckTree(version.stVersion.path, report, report.vtWarnings);
        CheckDependencies(version, options.pathSelfExe, report, report.vtWarnings);
    }
    Summarise(report);
    return report;
}

} // namespace lx::doctor
