#include "LXDoctorVersions.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "LXDoctorElf.h"
#include "LXFallback.h"
#include "LXLinuxLauncher.h"
#include "LXVersionName.h"

namespace fs = std::filesystem;

namespace {

using namespace lx::doctor;

std::string InterpreterProblem(const std::optional<std::string>& optInterpreter)
{
    if (!optInterpreter) {
        return {};
    }
    if (optInterpreter->empty()) {
        return "its \"#!\" line names no interpreter";
    }
    if (::access(optInterpreter->c_str(), X_OK) != 0) {
        return "its interpreter " + *optInterpreter + " is missing or cannot be run (" + std::strerror(errno) + ")";
    }
    return {};
}

// What one launcher does by itself, started with the given ceiling: runs its
// client, stops, starts rows[optNext], or ends without a client.
struct Step {
    VerdictKind enKind = VerdictKind::Unknown; // RunsClient, NoClient, or how it stops
    std::optional<size_t> optNext;
    std::vector<FailedStart> vtFailed;
    std::optional<int> optExitStatus;
    std::string strReason; // why no client, or what is unknown
    std::string strLast;   // how the sentence ends when the road ends here
};

std::string OwnFailure(const ProbeResult& library)
{
    switch (library.enState) {
    case lx::LibraryState::NOT_FOUND:
        return "has no main-application library";
    case lx::LibraryState::NO_ENTRY:
        return "has a main-application library without StartMainApp";
    default:
        return "cannot load its main-application library (" + library.strError + ")";
    }
}

class CPredictor {
public:
    explicit CPredictor(const std::vector<VersionRow>& vtRows) : m_vtRows(vtRows), m_vtFallbackSteps(vtRows.size())
    {
        for (size_t i = 0; i < vtRows.size(); ++i) {
            m_vtVersions.push_back(vtRows[i].stVersion);
            m_mapIndex.emplace(vtRows[i].stVersion.path.native(), i);
        }
    }

    Verdict Predict(size_t uStart)
    {
        Verdict verdict;
        const VersionRow& start = m_vtRows[uStart];
        if (start.launcher.enState != LauncherFileState::Ok) {
            verdict.enKind = VerdictKind::NotStartable;
            verdict.strReason = start.launcher.strProblem;
            verdict.strText = "cannot be started: " + verdict.strReason;
            return verdict;
        }
        const Step first = Take(uStart, std::nullopt);
        verdict.optExitStatus = first.optExitStatus;
        // Each fallback goes strictly down, so the road ends.
        const Step* pStep = &first;
        for (size_t uIndex = uStart;;) {
            verdict.vtChain.push_back(m_vtRows[uIndex].strName);
            verdict.vtFailed.insert(verdict.vtFailed.end(), pStep->vtFailed.begin(), pStep->vtFailed.end());
            if (!pStep->optNext) {
                break;
            }
            uIndex = *pStep->optNext;
            pStep = &FallbackStep(uIndex);
        }
        verdict.enKind = pStep->enKind;
        const bool bFellBack = verdict.vtChain.size() > 1;
        const std::string strWho = bFellBack ? verdict.vtChain.back() + ": " : std::string();
        if (pStep->enKind == VerdictKind::RunsClient) {
            verdict.enKind = bFellBack ? VerdictKind::FallsBack : VerdictKind::RunsClient;
            verdict.strClientVersion = verdict.vtChain.back();
        } else {
            verdict.strReason = (pStep->enKind == VerdictKind::NoClient ? strWho : std::string()) + pStep->strReason;
        }
        std::string strRoad;
        for (size_t i = 1; i < verdict.vtChain.size(); ++i) {
            strRoad += (i == 1 ? "falls back to " : ", then ") + verdict.vtChain[i];
        }
        if (verdict.enKind == VerdictKind::RunsClient) {
            verdict.strText = "runs its own client";
        } else if (verdict.enKind == VerdictKind::FallsBack) {
            verdict.strText = strRoad + ", which runs its client";
        } else {
            verdict.strText = (bFellBack ? strRoad + ", which " : std::string()) + pStep->strLast;
            if (bFellBack && pStep->optExitStatus) {
                verdict.strText += " (its exit status " + std::to_string(*pStep->optExitStatus) + ")";
            }
        }
        for (const FailedStart& failed : verdict.vtFailed) {
            verdict.strText += "; " + failed.strVersion + "'s launcher would not start (" + failed.strProblem + ")";
        }
        if (verdict.optExitStatus && verdict.enKind != VerdictKind::FallsBack) {
            verdict.strText += "; exit status " + std::to_string(*verdict.optExitStatus);
        }
        return verdict;
    }

private:
    // A started fallback is handed the version it was started as for its
    // ceiling, so its step depends on nothing else: worked out once.
    const Step& FallbackStep(size_t uIndex)
    {
        if (!m_vtFallbackSteps[uIndex]) {
            m_vtFallbackSteps[uIndex] = Take(uIndex, m_vtRows[uIndex].stVersion);
        }
        return *m_vtFallbackSteps[uIndex];
    }

    Step Take(size_t uIndex, const std::optional<Version>& optInherited)
    {
        const VersionRow& row = m_vtRows[uIndex];
        Step step;
        auto Stop = [&](VerdictKind enKind, std::string strReason, std::string strLast) {
            step.enKind = enKind;
            step.strReason = std::move(strReason);
            step.strLast = std::move(strLast);
            return step;
        };
        if (!row.launcher.optCompiledVersion) {
            return Stop(VerdictKind::Unknown,
                        "the launcher of " + row.strName + " carries no version note: its behaviour is unknown",
                        "has a launcher that carries no version note: its behaviour is unknown");
        }
        switch (row.library.enEnd) {
        case ProbeEnd::Hangs:
            return Stop(VerdictKind::Hangs, row.strName + "'s main-application library hangs while loading",
                        "hangs while loading its main-application library");
        case ProbeEnd::Crashes:
            return Stop(VerdictKind::Crashes,
                        row.strName + "'s main-application library crashes the process while loading",
                        "dies while loading its main-application library (" + row.library.strError + ")");
        case ProbeEnd::Failed:
            return Stop(VerdictKind::Unknown,
                        "the library of " + row.strName + " could not be probed: " + row.library.strError,
                        "has a library the doctor could not probe");
        case ProbeEnd::Answered:
            break;
        }
        lx::LaunchSituation situation;
        situation.enOwnLibrary = row.library.enState;
        situation.stOwnVersion = *row.launcher.optCompiledVersion;
        situation.stOwnVersion.path = row.stVersion.path;
        situation.ceiling.optInherited = optInherited;
        situation.vtVersions = m_vtVersions;
        situation.funcHasLauncher = lx::HasEntryNamed(kszLauncherFileName);
        // A start succeeds exactly when the candidate's launcher can be started.
        const lx::LaunchPlan plan = lx::PlanLaunch(situation, [&](const Version& stCandidate) -> std::optional<int> {
            const auto itIndex = m_mapIndex.find(stCandidate.path.native());
            if (itIndex == m_mapIndex.end()) {
                return std::nullopt;
            }
            const LauncherFile& launcher = m_vtRows[itIndex->second].launcher;
            if (launcher.enState != LauncherFileState::Ok) {
                step.vtFailed.push_back({m_vtRows[itIndex->second].strName, launcher.path, launcher.strProblem});
                return std::nullopt;
            }
            step.optNext = itIndex->second;
            // The start ends as the chain below it does: 0 once a client is
            // about to start or when nothing reports, else the status of the
            // launcher that found no client.
            return FallbackStep(itIndex->second).optExitStatus.value_or(0);
        });
        if (plan.enRoute == lx::LaunchRoute::RUN_OWN_CLIENT) {
            step.enKind = VerdictKind::RunsClient;
            return step;
        }
        step.optExitStatus = plan.nExitStatus;
        if (plan.enRoute == lx::LaunchRoute::FALLBACK_STARTED) {
            return step;
        }
        return Stop(VerdictKind::NoClient, lx::DescribeNoClientReason(*plan.optNoClient),
                    OwnFailure(row.library) +
                        (plan.vtCandidates.empty()
                             ? " and has no version below " + lx::FormatVersion(plan.stCeiling) + " to fall back to"
                             : " and no fallback launcher starts"));
    }

    const std::vector<VersionRow>& m_vtRows;
    std::vector<Version> m_vtVersions;
    std::unordered_map<std::string, size_t> m_mapIndex;
    std::vector<std::optional<Step>> m_vtFallbackSteps;
};

} // namespace

namespace lx::doctor {

const char* KeyOf(LauncherFileState enState)
{
    // In the order of LauncherFileState.
    static constexpr const char* kArrSzKeys[] = {"ok",          "missing",        "unreadable",         "directory",
                                                 "not-regular", "not-executable", "missing-interpreter"};
    return kArrSzKeys[static_cast<size_t>(enState)];
}

const char* KeyOf(VerdictKind enKind)
{
    // In the order of VerdictKind.
    static constexpr const char* kArrSzKeys[] = {"not-startable", "runs-client", "falls-back", "no-client",
                                                 "hangs",         "crashes",     "unknown"};
    return kArrSzKeys[static_cast<size_t>(enKind)];
}

LauncherFile ExamineLauncherFile(const fs::path& path)
{
    LauncherFile launcher;
    launcher.path = path;
    std::error_code ec;
    const fs::file_status stStatus = fs::status(path, ec);
    auto Set = [&](LauncherFileState enState, std::string strProblem) {
        launcher.enState = enState;
        launcher.strProblem = std::move(strProblem);
        return launcher;
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
    launcher.optStrCompiledVersion = elf.optStrVersionNote;
    if (elf.optStrVersionNote && elf.optStrVersionNote->find_first_of("0123456789") != std::string::npos) {
        Version stCompiled;
        lx::ReadVersionNumbers(*elf.optStrVersionNote, stCompiled);
        Version stDirectory;
        lx::ReadVersionNumbers(path.parent_path().filename().native(), stDirectory);
        launcher.optCompiledVersion = stCompiled;
        launcher.bVersionMismatch = stCompiled.uMajor != stDirectory.uMajor ||
                                    stCompiled.uMinor != stDirectory.uMinor || stCompiled.uPatch != stDirectory.uPatch;
    }
    if (::access(path.c_str(), X_OK) != 0) {
        return Set(LauncherFileState::NotExecutable, std::string("is not executable (") + std::strerror(errno) + ")");
    }
    std::string strProblem = InterpreterProblem(elf.optStrInterpreter);
    if (!strProblem.empty()) {
        return Set(LauncherFileState::MissingInterpreter, std::move(strProblem));
    }
    return Set(LauncherFileState::Ok, {});
}

void PredictLaunches(std::vector<VersionRow>& vtRows)
{
    CPredictor predictor(vtRows);
    for (size_t i = 0; i < vtRows.size(); ++i) {
        vtRows[i].verdict = predictor.Predict(i);
    }
}

std::vector<VersionRow> ExamineVersions(const fs::path& pathRoot, const fs::path& pathSelfExe,
                                        std::chrono::milliseconds probeTimeLimit)
{
    std::vector<VersionRow> vtRows;
    std::vector<ProbeRequest> vtRequests;
    std::vector<size_t> vtProbed;
    for (const Version& stVersion : lx::ScanVersionDirectories(pathRoot)) {
        VersionRow row;
        row.strName = stVersion.path.filename().string();
        row.stVersion = stVersion;
        row.launcher = ExamineLauncherFile(stVersion.path / kszLauncherFileName);
        row.pathLibrary = stVersion.path / lx::kszMainAppLibraryName;
        row.library.enEnd = ProbeEnd::Answered;
        std::error_code ec;
        if (fs::status(row.pathLibrary, ec).type() != fs::file_type::not_found) {
            // The launcher's own run path names its directory; a library with
            // a run path of its own makes the loader ignore it.
            vtRequests.push_back(
                {row.pathLibrary, ReadElfFacts(row.pathLibrary).bHasRunPath ? fs::path() : stVersion.path});
            vtProbed.push_back(vtRows.size());
        }
        vtRows.push_back(std::move(row));
    }
    std::vector<ProbeResult> vtResults = ProbeLibraries(pathSelfExe, vtRequests, probeTimeLimit);
    for (size_t i = 0; i < vtProbed.size(); ++i) {
        vtRows[vtProbed[i]].library = std::move(vtResults[i]);
    }
    PredictLaunches(vtRows);
    return vtRows;
}

} // namespace lx::doctor
