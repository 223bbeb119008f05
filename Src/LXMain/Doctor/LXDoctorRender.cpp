#include <algorithm>
#include <sstream>

#include <json/writer.h>

#include "LXDoctor.h"
#include "LXText.h"

namespace {

using namespace lx::doctor;

// Names, paths and messages come from the disk and the loader: nothing of
// theirs may steer the terminal.
std::string Safe(const std::string& strText)
{
    return lx::EscapeControlCharacters(strText);
}

enum class Colour { None, Green, Yellow, Red, Bold };

// The colour of an outcome: green runs, yellow falls back, red the rest.
Colour ColourOf(bool bRuns, bool bFallsBack)
{
    return bRuns ? Colour::Green : bFallsBack ? Colour::Yellow : Colour::Red;
}

struct CPainter {
    bool bEnabled;
    std::string operator()(Colour enColour, const std::string& strText) const
    {
        static constexpr const char* kArrSzCodes[] = {"", "32", "33", "31", "1"};
        return !bEnabled || enColour == Colour::None
                   ? strText
                   : std::string("\033[") + kArrSzCodes[static_cast<int>(enColour)] + "m" + strText + "\033[0m";
    }
};

struct Cell {
    std::string strText;
    Colour enColour = Colour::None;
};

// Pads each column to its widest cell; colour goes around the padded text so
// escapes never shift a column. The last column is not padded.
void WriteTable(std::ostream& out, const std::vector<std::vector<Cell>>& vtRows, const CPainter& paint)
{
    std::vector<size_t> vtWidths;
    for (const auto& vtRow : vtRows) {
        vtWidths.resize(std::max(vtWidths.size(), vtRow.size()));
        for (size_t i = 0; i + 1 < vtRow.size(); ++i) {
            vtWidths[i] = std::max(vtWidths[i], Safe(vtRow[i].strText).size());
        }
    }
    for (const auto& vtRow : vtRows) {
        std::string strLine = "  ";
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

std::string LauncherCell(const LauncherFile& launcher)
{
    std::string strText = launcher.enState == LauncherFileState::Ok ? "ok" : launcher.strProblem;
    if (launcher.enState == LauncherFileState::Ok || launcher.optStrCompiledVersion) {
        strText += launcher.optStrCompiledVersion ? ", built " + *launcher.optStrCompiledVersion : ", no version note";
    }
    return strText + (launcher.bVersionMismatch ? " (!)" : "");
}

std::string HealthCell(const lx::BuildHealth& health)
{
    switch (health.enState) {
    case lx::HealthState::OK:
        return "ok";
    case lx::HealthState::FAILING:
        return std::to_string(health.u32Failed) + " failed starts (last at " +
               lx::FormatLocalTime(health.optLastFailed.value_or(0)) + ")";
    case lx::HealthState::HELD:
        break;
    }
    return "held back since " + lx::FormatLocalTime(health.optHeldSince.value_or(0));
}

Json::Value OptionalTime(const std::optional<int64_t>& optTime)
{
    return optTime ? Json::Value(lx::FormatLocalTime(*optTime)) : Json::Value();
}

Json::Value Strings(const std::vector<std::string>& vtStrings)
{
    Json::Value array(Json::arrayValue);
    for (const std::string& str : vtStrings) {
        array.append(str);
    }
    return array;
}

// The writer would mangle bytes that are not UTF-8: a text with any is
// given escaped as in the text report.
void MakeValidUtf8(Json::Value& value)
{
    if (value.isString() && !lx::IsValidUtf8(value.asString())) {
        value = lx::EscapeControlCharacters(value.asString());
    }
    for (Json::Value& member : value) {
        MakeValidUtf8(member);
    }
}

Json::Value VersionToJson(const VersionRow& row)
{
    Json::Value value(Json::objectValue);
    value["name"] = row.strName;
    value["path"] = row.stVersion.path.string();
    Json::Value& launcher = value["launcher"];
    launcher["path"] = row.launcher.path.string();
    launcher["state"] = KeyOf(row.launcher.enState);
    launcher["problem"] = row.launcher.strProblem;
    launcher["compiled_version"] =
        row.launcher.optStrCompiledVersion ? Json::Value(*row.launcher.optStrCompiledVersion) : Json::Value();
    launcher["version_mismatch"] = row.launcher.bVersionMismatch;
    Json::Value& library = value["library"];
    library["path"] = row.pathLibrary.string();
    library["state"] = KeyOf(row.library);
    library["error"] = row.library.strError;
    library["probe_ms"] = static_cast<Json::Int64>(row.library.duration.count());
    library["loaded_objects"] = Strings(row.library.vtLoadedObjects);
    Json::Value& health = value["health"];
    health["state"] = KeyOf(row.health.enState);
    health["failed_starts"] = row.health.u32Failed;
    health["last_failed"] = OptionalTime(row.health.optLastFailed);
    health["held_since"] = OptionalTime(row.health.optHeldSince);
    const Verdict& verdict = row.verdict;
    Json::Value& jsonVerdict = value["verdict"];
    jsonVerdict["outcome"] = KeyOf(verdict.enKind);
    jsonVerdict["chain"] = Strings(verdict.vtChain);
    jsonVerdict["client_version"] =
        verdict.strClientVersion.empty() ? Json::Value() : Json::Value(verdict.strClientVersion);
    jsonVerdict["exit_status"] = verdict.optExitStatus ? Json::Value(*verdict.optExitStatus) : Json::Value();
    Json::Value& failed = jsonVerdict["failed_starts"] = Json::Value(Json::arrayValue);
    for (const FailedStart& start : verdict.vtFailed) {
        Json::Value& item = failed.append(Json::Value(Json::objectValue));
        item["version"] = start.strVersion;
        item["path"] = start.pathLauncher.string();
        item["problem"] = start.strProblem;
    }
    jsonVerdict["reason"] = verdict.strReason;
    jsonVerdict["text"] = verdict.strText;
    return value;
}

} // namespace

namespace lx::doctor {

std::string RenderJson(const DoctorReport& report)
{
    Json::Value value(Json::objectValue);
    value["root"] = report.pathRoot.string();
    value["root_owner"] = report.strRootOwner;
    value["exit_status"] = report.nExitStatus;
    value["summary"] = report.strSummary;
    value["probe_time_limit_ms"] = static_cast<Json::Int64>(report.probeTimeLimit.count());
    Json::Value& versions = value["versions"] = Json::Value(Json::arrayValue);
    for (const VersionRow& row : report.vtVersions) {
        versions.append(VersionToJson(row));
    }
    Json::Value& checks = value["checks"] = Json::Value(Json::objectValue);
    for (const CheckResult& result : report.vtChecks) {
        Json::Value& check = checks[result.strKey];
        check["title"] = result.strTitle;
        check["headline"] = result.strHeadline;
        check["facts"] = result.facts;
        Json::Value& findings = check["findings"] = Json::Value(Json::arrayValue);
        for (const Finding& finding : result.vtFindings) {
            Json::Value& item = findings.append(Json::Value(Json::objectValue));
            item["kind"] = finding.strKind;
            item["label"] = finding.strLabel;
            item["text"] = finding.strText;
            item["warning"] = finding.bWarning;
            item["facts"] = finding.facts;
        }
    }
    MakeValidUtf8(value);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "  ";
    return Json::writeString(builder, value) + "\n";
}

std::string RenderText(const DoctorReport& report, bool bColour)
{
    const CPainter paint{bColour};
    std::ostringstream out;
    out << paint(Colour::Bold, "Installation") << "  " << Safe(report.pathRoot.string()) << " (owner "
        << Safe(report.strRootOwner) << ")\n";
    if (report.vtVersions.empty()) {
        out << "  no version directory\n";
    } else {
        std::vector<std::vector<Cell>> vtRows{{{"VERSION"}, {"LAUNCHER"}, {"MAIN LIBRARY"}, {"HEALTH"}, {"IF STARTED"}}};
        bool bAnyHeld = false;
        for (const VersionRow& row : report.vtVersions) {
            const bool bLauncherOk = row.launcher.enState == LauncherFileState::Ok && !row.launcher.bVersionMismatch;
            const bool bLibraryOk =
                row.library.enEnd == ProbeEnd::Answered && row.library.enState == lx::LibraryState::USABLE;
            vtRows.push_back({{row.strName},
                              {LauncherCell(row.launcher), bLauncherOk ? Colour::None : Colour::Yellow},
                              {TextOf(row.library), bLibraryOk ? Colour::None : Colour::Yellow},
                              {HealthCell(row.health),
                               row.health.enState == lx::HealthState::OK ? Colour::None : Colour::Yellow},
                              {row.verdict.strText, ColourOf(row.verdict.enKind == VerdictKind::RunsClient,
                                                             row.verdict.enKind == VerdictKind::FallsBack)}});
            bAnyHeld = bAnyHeld || row.health.enState == lx::HealthState::HELD;
        }
        WriteTable(out, vtRows, paint);
        if (bAnyHeld) {
            out << "  to lift the holds of this user: " << lx::kszHealthEnv << "=reset " << kszCommandName << "\n";
        }
        for (const VersionRow& row : report.vtVersions) {
            if (!row.library.strError.empty()) {
                out << "  " << row.strName << ": " << Safe(row.pathLibrary.string()) << ": "
                    << Safe(row.library.strError) << "\n";
            }
        }
    }
    for (const CheckResult& result : report.vtChecks) {
        const std::string strHeadline = !result.strHeadline.empty() ? result.strHeadline
                                        : result.vtFindings.empty() ? "ok"
                                                                    : "";
        out << "\n"
            << paint(Colour::Bold, result.strTitle) << (strHeadline.empty() ? "" : "  " + Safe(strHeadline)) << "\n";
        std::vector<std::vector<Cell>> vtRows;
        for (const Finding& finding : result.vtFindings) {
            const Colour enColour = finding.bWarning ? Colour::Yellow : Colour::None;
            if (finding.strLabel.empty()) {
                vtRows.push_back({{finding.bWarning ? "! " + finding.strText : finding.strText, enColour}});
            } else {
                vtRows.push_back({{finding.strLabel}, {finding.strText, enColour}});
            }
        }
        WriteTable(out, vtRows, paint);
    }
    const Colour enSummary = ColourOf(report.nExitStatus == kNDoctorRuns, report.nExitStatus == kNDoctorFallback);
    out << "\n" << paint(enSummary, Safe(report.strSummary)) << " (doctor exit status " << report.nExitStatus << ")\n";
    return out.str();
}

} // namespace lx::doctor
