#include "LXDoctorRules.h"

#include <algorithm>

#include "LXFallback.h"

namespace fs = std::filesystem;

namespace {

using lx::doctor::LibraryState;
using lx::doctor::Verdict;
using lx::doctor::VerdictKind;
using lx::doctor::VersionFacts;

std::string OwnFailure(const VersionFacts& facts)
{
    switch (facts.library.enState) {
    case LibraryState::Missing:
        return "has no main-application library";
    case LibraryState::NoEntry:
        return "has a main-application library without StartMainApp";
    case LibraryState::NotLoadable:
        return "cannot load its main-application library (" + facts.library.strError + ")";
    default:
        return "cannot use its main-application library";
    }
}

std::string JoinChain(const std::vector<std::string>& vtChain)
{
    std::string strText;
    for (size_t i = 1; i < vtChain.size(); ++i) {
        strText += (i == 1 ? "" : ", then ") + vtChain[i];
    }
    return strText;
}

std::string FailedStartsText(const Verdict& verdict)
{
    std::string strText;
    for (const lx::doctor::FailedStart& failed : verdict.vtFailed) {
        strText += "; " + failed.strVersion + "'s launcher would not start (" + failed.strProblem + ")";
    }
    return strText;
}

// Ends the prediction with the sentence a person reads.
Verdict& Finish(Verdict& verdict, const std::string& strLast)
{
    const bool bFellBack = verdict.vtChain.size() > 1;
    switch (verdict.enKind) {
    case VerdictKind::RunsClient:
        verdict.strText = "runs its own client";
        break;
    case VerdictKind::FallsBack:
        verdict.strText = "falls back to " + JoinChain(verdict.vtChain) + ", which runs its client";
        break;
    case VerdictKind::NotStartable:
        verdict.strText = "cannot be started: " + verdict.strReason;
        break;
    default:
        verdict.strText = bFellBack ? "falls back to " + JoinChain(verdict.vtChain) + ", which " : std::string();
        verdict.strText += strLast;
        break;
    }
    verdict.strText += FailedStartsText(verdict);
    if (verdict.optExitStatus && verdict.enKind != VerdictKind::FallsBack) {
        verdict.strText += "; exit status " + std::to_string(*verdict.optExitStatus);
    }
    return verdict;
}

// The launcher's own view of its library; the doctor's probe knows more.
lx::LibraryState LauncherView(LibraryState enState)
{
    switch (enState) {
    case LibraryState::Loadable:
        return lx::LibraryState::USABLE;
    case LibraryState::Missing:
        return lx::LibraryState::NOT_FOUND;
    case LibraryState::NoEntry:
        return lx::LibraryState::NO_ENTRY;
    default:
        return lx::LibraryState::NOT_LOADABLE;
    }
}

std::optional<size_t> IndexOfPath(const std::vector<VersionFacts>& vtFacts, const fs::path& path)
{
    for (size_t i = 0; i < vtFacts.size(); ++i) {
        if (vtFacts[i].stVersion.path == path) {
            return i;
        }
    }
    return std::nullopt;
}

} // namespace

namespace lx::doctor {

Verdict PredictLaunch(const std::vector<VersionFacts>& vtFacts, size_t uStart,
                      const std::optional<std::string>& optInheritedCeiling)
{
    Verdict verdict;
    if (uStart >= vtFacts.size()) {
        verdict.enKind = VerdictKind::NoClient;
        verdict.strReason = "no such version";
        return Finish(verdict, verdict.strReason);
    }
    if (vtFacts[uStart].launcher.enState != LauncherFileState::Ok) {
        verdict.enKind = VerdictKind::NotStartable;
        verdict.strReason = vtFacts[uStart].launcher.strProblem;
        return Finish(verdict, verdict.strReason);
    }

    std::optional<std::string> optCeiling = optInheritedCeiling;
    size_t uCurrent = uStart;
    // Each step goes strictly down, so the road is never longer than the list.
    for (size_t uStep = 0; uStep <= vtFacts.size(); ++uStep) {
        const VersionFacts& facts = vtFacts[uCurrent];
        const bool bFirst = uStep == 0;
        verdict.vtChain.push_back(facts.strName);
        const std::string strWho = bFirst ? std::string() : facts.strName + ": ";

        if (!facts.launcher.optCompiledVersion) {
            verdict.enKind = VerdictKind::Unknown;
            verdict.strReason =
                "the launcher of " + facts.strName + " carries no version note: its behaviour is unknown";
            return Finish(verdict, "has a launcher that carries no version note: its behaviour is unknown");
        }
        switch (facts.library.enState) {
        case LibraryState::Loadable:
            verdict.enKind = bFirst ? VerdictKind::RunsClient : VerdictKind::FallsBack;
            verdict.strClientVersion = facts.strName;
            return Finish(verdict, {});
        case LibraryState::Hangs:
            verdict.enKind = VerdictKind::Hangs;
            verdict.strReason = facts.strName + "'s main-application library hangs while loading";
            return Finish(verdict, "hangs while loading its main-application library");
        case LibraryState::Crashes:
            verdict.enKind = VerdictKind::Crashes;
            verdict.strReason = facts.strName + "'s main-application library crashes the process while loading";
            return Finish(verdict, "dies while loading its main-application library (" + facts.library.strError + ")");
        case LibraryState::ProbeFailed:
            verdict.enKind = VerdictKind::Unknown;
            verdict.strReason = "the library of " + facts.strName + " could not be probed: " + facts.library.strError;
            return Finish(verdict, "has a library the doctor could not probe");
        default:
            break;
        }

        lx::LaunchSituation situation;
        situation.enOwnLibrary = LauncherView(facts.library.enState);
        situation.stOwnVersion = *facts.launcher.optCompiledVersion;
        situation.stOwnVersion.path = facts.stVersion.path;
        situation.ceiling = lx::FallbackCeiling::Read(optCeiling ? optCeiling->c_str() : nullptr);
        for (const VersionFacts& each : vtFacts) {
            situation.vtVersions.push_back(each.stVersion);
        }
        situation.funcHasLauncher = lx::HasEntryNamed(kszLauncherFileName);

        // A start succeeds exactly when the candidate's launcher file can be started.
        std::optional<size_t> optNext;
        const lx::LaunchPlan plan = lx::PlanLaunch(situation, [&](const Version& candidate) -> std::optional<int> {
            const std::optional<size_t> optIndex = IndexOfPath(vtFacts, candidate.path);
            if (!optIndex) {
                return std::nullopt;
            }
            const LauncherFileFacts& launcher = vtFacts[*optIndex].launcher;
            if (launcher.enState == LauncherFileState::Ok) {
                optNext = optIndex;
                return 0;
            }
            verdict.vtFailed.push_back({vtFacts[*optIndex].strName, launcher.path, launcher.strProblem});
            return std::nullopt;
        });

        if (plan.optNoClient) {
            const std::string strWhy =
                OwnFailure(facts) + (plan.vtCandidates.empty() ? " and has no version below " +
                                                                     FormatVersion(plan.stCeiling) + " to fall back to"
                                                               : " and no fallback launcher starts");
            verdict.enKind = VerdictKind::NoClient;
            verdict.strReason = strWho + lx::DescribeNoClientReason(*plan.optNoClient);
            if (bFirst) {
                verdict.optExitStatus = plan.nExitStatus;
                return Finish(verdict, strWhy);
            }
            return Finish(verdict, strWhy + " (its exit status " + std::to_string(plan.nExitStatus) + ")");
        }
        if (!optNext) {
            verdict.enKind = VerdictKind::Unknown;
            verdict.strReason = "the launcher's rules name no outcome";
            return Finish(verdict, verdict.strReason);
        }
        if (bFirst) {
            verdict.optExitStatus = 0;
        }
        // What the launcher hands its fallback: the version it started.
        optCeiling = FormatVersion(vtFacts[*optNext].stVersion);
        uCurrent = *optNext;
    }
    verdict.enKind = VerdictKind::Unknown;
    verdict.strReason = "the fallback road does not end";
    return Finish(verdict, verdict.strReason);
}

} // namespace lx::doctor
