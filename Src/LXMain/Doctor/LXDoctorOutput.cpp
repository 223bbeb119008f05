#include "LXDoctorOutput.h"

#include <algorithm>
#include <sstream>

#include <json/writer.h>

#include "LXText.h"

namespace fs = std::filesystem;

namespace {

using namespace lx::doctor;

enum class Colour { None, Green, Yellow, Red, Bold };

class CPainter {
public:
    explicit CPainter(bool bEnabled) : m_bEnabled(bEnabled) {}
    std::string operator()(Colour enColour, const std::string& strText) const
    {
        if (!m_bEnabled || enColour == Colour::None) {
            return strText;
        }
        const char* szCode = enColour == Colour::Green    ? "32"
                             : enColour == Colour::Yellow ? "33"
                             : enColour == Colour::Red    ? "31"
                                                          : "1";
        return std::string("\033[") + szCode + "m" + strText + "\033[0m";
    }

private:
    bool m_bEnabled;
};

// Names, paths and messages come from the disk and the loader: no control
// character of theirs reaches the terminal.
std::string Safe(const std::string& strText)
{
    return lx::EscapeControlCharacters(strText);
}

struct Cell {
    std::string strText;
    Colour enColour = Colour::None;
};

// Pads each column to its widest cell; colour goes around the padded text so
// escapes never shift a column. The last column is not padded.
void WriteTable(std::ostream& out, const std::vector<std::vector<Cell>>& vtRows, const CPainter& paint,
                const std::string& strIndent)
{
    std::vector<size_t> vtWidths;
    for (const auto& vtRow : vtRows) {
        vtWidths.resize(std::max(vtWidths.size(), vtRow.size()));
        for (size_t i = 0; i < vtRow.size(); ++i) {
            vtWidths[i] = std::max(vtWidths[i], Safe(vtRow[i].strText).size());
        }
    }
    for (const auto& vtRow : vtRows) {
        std::string strLine = strIndent;
        for (size_t i = 0; i < vtRow.size(); ++i) {
            std::string strText = Safe(vtRow[i].strText);
            if (i + 1 < vtRow.size()) {
                strText.resize(vtWidths[i], ' ');
                strText += "  ";
            }
            strLine += paint(vtRow[i].enColour, strText);
        }
        while (!strLine.empty() && strLine.back() == ' ') {
            strLine.pop_back();
        }
        out << strLine << '\n';
    }
}

Colour VerdictColour(VerdictKind enKind)
{
    switch (enKind) {
    case VerdictKind::RunsClient:
        return Colour::Green;
    case VerdictKind::FallsBack:
        return Colour::Yellow;
    default:
        return Colour::Red;
    }
}

std::string LauncherCell(const LauncherFileFacts& launcher)
{
    std::string strText = launcher.enState == LauncherFileState::Ok ? "ok" : launcher.strProblem;
    if (launcher.enState == LauncherFileState::Ok || launcher.optStrCompiledVersion) {
        strText += launcher.optStrCompiledVersion ? ", built " + *launcher.optStrCompiledVersion : ", no version note";
    }
    return strText + (launcher.bVersionMismatch ? " (!)" : "");
}

std::string LibraryCell(const ProbeResult& library)
{
    switch (library.enState) {
    case LibraryState::Loadable:
        return "loads, has StartMainApp";
    case LibraryState::NoEntry:
        return "loads, no StartMainApp";
    case LibraryState::NotLoadable:
        return "does not load";
    case LibraryState::Missing:
        return "missing";
    case LibraryState::Hangs:
        return "hangs while loading";
    case LibraryState::Crashes:
        return "crashes while loading";
    case LibraryState::ProbeFailed:
        break;
    }
    return "not probed";
}

std::string LaunchCell(const LaunchSummary& launch)
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

Json::Value NullOr(const std::optional<std::string>& optText)
{
    return optText ? Json::Value(*optText) : Json::Value();
}

Json::Value NullOrInt(const std::optional<int64_t>& optValue)
{
    return optValue ? Json::Value(static_cast<Json::Int64>(*optValue)) : Json::Value();
}

Json::Value StringArray(const std::vector<std::string>& vtStrings)
{
    Json::Value array(Json::arrayValue);
    for (const std::string& str : vtStrings) {
        array.append(str);
    }
    return array;
}

Json::Value VerdictToJson(const Verdict& verdict)
{
    Json::Value value(Json::objectValue);
    value["outcome"] = VerdictKindKey(verdict.enKind);
    value["chain"] = StringArray(verdict.vtChain);
    value["client_version"] = verdict.strClientVersion.empty() ? Json::Value() : Json::Value(verdict.strClientVersion);
    value["exit_status"] = verdict.optExitStatus ? Json::Value(*verdict.optExitStatus) : Json::Value();
    Json::Value failed(Json::arrayValue);
    for (const FailedStart& start : verdict.vtFailed) {
        Json::Value item(Json::objectValue);
        item["version"] = start.strVersion;
        item["path"] = start.pathLauncher.string();
        item["problem"] = start.strProblem;
        failed.append(item);
    }
    value["failed_starts"] = failed;
    value["reason"] = verdict.strReason;
    value["text"] = verdict.strText;
    return value;
}

Json::Value VersionToJson(const VersionFacts& version, const Verdict& verdict)
{
    Json::Value value(Json::objectValue);
    value["name"] = version.strName;
    value["path"] = version.stVersion.path.string();
    Json::Value launcher(Json::objectValue);
    launcher["path"] = version.launcher.path.string();
    launcher["state"] = LauncherFileStateKey(version.launcher.enState);
    launcher["problem"] = version.launcher.strProblem;
    launcher["compiled_version"] = NullOr(version.launcher.optStrCompiledVersion);
    launcher["version_mismatch"] = version.launcher.bVersionMismatch;
    value["launcher"] = launcher;
    Json::Value library(Json::objectValue);
    library["path"] = version.pathLibrary.string();
    library["state"] = LibraryStateKey(version.library.enState);
    library["error"] = version.library.strError;
    library["has_entry"] = version.library.bHasEntry;
    library["probe_ms"] = static_cast<Json::Int64>(version.library.duration.count());
    library["loaded_objects"] = StringArray(version.library.vtLoadedObjects);
    value["library"] = library;
    value["verdict"] = VerdictToJson(verdict);
    return value;
}

Json::Value LogToJson(const LogFacts& log)
{
    Json::Value value(Json::objectValue);
    value["path"] = log.path.empty() ? Json::Value() : Json::Value(log.path.string());
    value["directory_accepted"] = log.bDirectoryAccepted;
    value["directory_problem"] = log.strDirectoryProblem;
    value["file_accepted"] = log.bFileAccepted;
    value["file_problem"] = log.strFileProblem;
    Json::Value files(Json::arrayValue);
    for (const LogFileFacts& file : log.vtFiles) {
        Json::Value item(Json::objectValue);
        item["path"] = file.path.string();
        item["exists"] = file.bExists;
        item["regular"] = file.bRegular;
        item["size"] = static_cast<Json::UInt64>(file.uSize);
        files.append(item);
    }
    value["files"] = files;
    Json::Value launches(Json::arrayValue);
    for (const LaunchSummary& launch : log.vtLaunches) {
        Json::Value item(Json::objectValue);
        item["time"] = launch.strTime;
        item["pid"] = static_cast<Json::Int64>(launch.nPid);
        item["outcome"] = LaunchOutcomeKey(launch.enOutcome);
        item["result"] = NullOrInt(launch.optResult);
        item["exit_status"] = NullOrInt(launch.optExitStatus);
        item["fallback_version"] = launch.strFallbackVersion.empty() ? Json::Value() : launch.strFallbackVersion;
        item["fallback_path"] = launch.strFallbackPath.empty() ? Json::Value() : launch.strFallbackPath;
        item["fallback_pid"] = NullOrInt(launch.optFallbackPid);
        item["started_by_pid"] = NullOrInt(launch.optStartedByPid);
        item["reason"] = launch.strReason;
        item["text"] = LaunchCell(launch);
        launches.append(item);
    }
    value["launches"] = launches;
    value["launches_total"] = static_cast<Json::UInt64>(log.uLaunchesTotal);
    value["unparsed_lines"] = static_cast<Json::UInt64>(log.uUnparsedCount);
    Json::Value unparsed(Json::arrayValue);
    for (const UnparsedLine& line : log.vtUnparsed) {
        Json::Value item(Json::objectValue);
        item["file"] = line.pathFile.string();
        item["line"] = static_cast<Json::UInt64>(line.uLineNumber);
        item["text"] = line.strText;
        unparsed.append(item);
    }
    value["unparsed"] = unparsed;
    return value;
}

std::string SizeText(const LogFileFacts& file)
{
    if (!file.bExists) {
        return "absent";
    }
    return file.bRegular ? std::to_string(file.uSize) + " bytes" : "not a regular file, not read";
}

} // namespace

namespace lx::doctor {

Json::Value ReportToJson(const DoctorReport& report, long long nProbeTimeLimitMs)
{
    Json::Value value(Json::objectValue);
    value["root"] = report.pathRoot.string();
    value["root_owner"] = report.strRootOwner;
    value["exit_status"] = report.nExitStatus;
    value["summary"] = report.strSummary;
    value["probe_time_limit_ms"] = static_cast<Json::Int64>(nProbeTimeLimitMs);

    Json::Value versions(Json::arrayValue);
    for (size_t i = 0; i < report.vtVersions.size(); ++i) {
        versions.append(VersionToJson(report.vtVersions[i], report.vtVerdicts[i]));
    }
    value["versions"] = versions;

    const CommandFacts& command = report.command;
    Json::Value jsonCommand(Json::objectValue);
    jsonCommand["name"] = command.strName;
    jsonCommand["found"] = command.bFound;
    jsonCommand["path"] = command.bFound ? Json::Value(command.pathCommand.string()) : Json::Value();
    Json::Value links(Json::arrayValue);
    for (const fs::path& pathHop : command.vtHops) {
        links.append(pathHop.string());
    }
    jsonCommand["links"] = links;
    jsonCommand["target"] = command.bFound ? Json::Value(command.pathTarget.string()) : Json::Value();
    jsonCommand["version"] =
        command.optVersionIndex ? Json::Value(report.vtVersions[*command.optVersionIndex].strName) : Json::Value();
    jsonCommand["verdict"] = command.optVerdict ? VerdictToJson(*command.optVerdict) : Json::Value();
    jsonCommand["text"] = command.strText;
    value["command"] = jsonCommand;

    const EnvironmentFacts& env = report.environment;
    Json::Value environment(Json::objectValue);
    environment["fallback_below"] = env.bCeilingSet ? Json::Value(env.strCeilingValue) : Json::Value();
    environment["valid"] = env.bCeilingValid;
    environment["ceiling"] = env.strCeiling.empty() ? Json::Value() : Json::Value(env.strCeiling);
    environment["changes"] = StringArray(env.vtChanges);
    environment["text"] = env.strText;
    value["environment"] = environment;

    value["log"] = LogToJson(report.log);

    Json::Value warnings(Json::arrayValue);
    for (const Warning& warning : report.vtWarnings) {
        Json::Value item(Json::objectValue);
        item["kind"] = warning.strKind;
        item["path"] = warning.path.string();
        item["text"] = warning.strText;
        warnings.append(item);
    }
    value["warnings"] = warnings;
    return value;
}

std::string FormatJson(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    // Non-ASCII text is escaped: a path or log line that is not valid UTF-8
    // must still make a valid document.
    builder["indentation"] = "  ";
    return Json::writeString(builder, value) + "\n";
}

std::string FormatText(const DoctorReport& report, bool bColour)
{
    const CPainter paint(bColour);
    std::ostringstream out;
    out << paint(Colour::Bold, "Installation") << "  " << Safe(report.pathRoot.string()) << " (owner "
        << Safe(report.strRootOwner) << ")\n";
    if (report.vtVersions.empty()) {
        out << "  no version directory\n";
    } else {
        std::vector<std::vector<Cell>> vtRows{{{"VERSION"}, {"LAUNCHER"}, {"MAIN LIBRARY"}, {"IF STARTED"}}};
        for (size_t i = 0; i < report.vtVersions.size(); ++i) {
            const VersionFacts& version = report.vtVersions[i];
            const Verdict& verdict = report.vtVerdicts[i];
            vtRows.push_back({{version.strName},
                              {LauncherCell(version.launcher),
                               version.launcher.enState == LauncherFileState::Ok && !version.launcher.bVersionMismatch
                                   ? Colour::None
                                   : Colour::Yellow},
                              {LibraryCell(version.library),
                               version.library.enState == LibraryState::Loadable ? Colour::None : Colour::Yellow},
                              {verdict.strText, VerdictColour(verdict.enKind)}});
        }
        WriteTable(out, vtRows, paint, "  ");
        for (const VersionFacts& version : report.vtVersions) {
            if (!version.library.strError.empty()) {
                out << "  " << version.strName << ": " << Safe(version.pathLibrary.string()) << ": "
                    << Safe(version.library.strError) << "\n";
            }
        }
    }

    out << "\n" << paint(Colour::Bold, "Command") << "  " << Safe(report.command.strText) << "\n";
    out << "\n" << paint(Colour::Bold, "Environment") << "  " << Safe(report.environment.strText) << "\n";
    for (const std::string& strChange : report.environment.vtChanges) {
        out << "  " << Safe(strChange) << "\n";
    }

    const LogFacts& log = report.log;
    out << "\n"
        << paint(Colour::Bold, "Log") << "  " << (log.path.empty() ? "(no home directory)" : Safe(log.path.string()))
        << "\n";
    std::vector<std::vector<Cell>> vtLogRows;
    vtLogRows.push_back({{"directory"},
                         {log.bDirectoryAccepted ? "accepted" : "not accepted: " + log.strDirectoryProblem,
                          log.bDirectoryAccepted ? Colour::None : Colour::Yellow}});
    vtLogRows.push_back({{"file"},
                         {log.bFileAccepted ? "accepted" : "not accepted: " + log.strFileProblem,
                          log.bFileAccepted ? Colour::None : Colour::Yellow}});
    for (const LogFileFacts& file : log.vtFiles) {
        vtLogRows.push_back({{file.path.filename().string()}, {SizeText(file)}});
    }
    WriteTable(out, vtLogRows, paint, "  ");
    if (log.uUnparsedCount > 0) {
        out << "  " << log.uUnparsedCount << " line(s) are not launcher records and were skipped";
        for (const UnparsedLine& line : log.vtUnparsed) {
            out << "\n    " << line.pathFile.filename().string() << ":" << line.uLineNumber << ": "
                << Safe(line.strText);
        }
        out << "\n";
    }
    if (log.vtLaunches.empty()) {
        out << "  no launches recorded\n";
    } else {
        out << "  last " << log.vtLaunches.size() << " of " << log.uLaunchesTotal << " launches:\n";
        std::vector<std::vector<Cell>> vtRows{{{"TIME"}, {"PID"}, {"OUTCOME"}}};
        for (const LaunchSummary& launch : log.vtLaunches) {
            vtRows.push_back({{launch.strTime}, {std::to_string(launch.nPid)}, {LaunchCell(launch)}});
        }
        WriteTable(out, vtRows, paint, "    ");
    }

    out << "\n" << paint(Colour::Bold, "Warnings") << (report.vtWarnings.empty() ? "  none" : "") << "\n";
    for (const Warning& warning : report.vtWarnings) {
        out << "  " << paint(Colour::Yellow, "!") << " " << Safe(warning.strText) << "\n";
    }

    const Colour enSummary = report.nExitStatus == kNDoctorRuns       ? Colour::Green
                             : report.nExitStatus == kNDoctorFallback ? Colour::Yellow
                                                                      : Colour::Red;
    out << "\n" << paint(enSummary, Safe(report.strSummary)) << " (doctor exit status " << report.nExitStatus << ")\n";
    return out.str();
}

} // namespace lx::doctor
