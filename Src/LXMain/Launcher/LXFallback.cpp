#include "LXFallback.h"

#include <cstdint>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;

namespace lx {

LaunchError LaunchErrorFor(LibraryState enState)
{
    switch (enState) {
    case LibraryState::USABLE:
        return LaunchError::LAUNCH_NO_ERROR;
    case LibraryState::NO_ENTRY:
        return LaunchError::LAUNCH_LOAD_START_FUNCTION_FAIL;
    case LibraryState::NOT_FOUND:
    case LibraryState::NOT_LOADABLE:
        break;
    }
    return LaunchError::LAUNCH_LOAD_MODULE_FAIL;
}

const char* DescribeNoClientReason(NoClientReason enReason)
{
    switch (enReason) {
    case NoClientReason::NO_MAIN_APP:
        return "no main application library found";
    case NoClientReason::MAIN_APP_UNUSABLE:
        return "main application library unusable";
    case NoClientReason::NO_FALLBACK_STARTED:
        break;
    }
    return "no fallback launcher could be started";
}

std::optional<Version> ParseFallbackCeiling(std::string_view strText)
{
    // Ten digits hold every 32-bit value; more cannot be one.
    constexpr size_t kUMaxDigits = 10;
    Version stVersion;
    uint32_t* const arrNumbers[] = {&stVersion.uMajor, &stVersion.uMinor, &stVersion.uPatch, &stVersion.uTweak};
    size_t uPos = 0;
    for (size_t uIndex = 0; uIndex < std::size(arrNumbers); ++uIndex) {
        if (uIndex > 0) {
            if (uPos >= strText.size() || strText[uPos] != '.') {
                return std::nullopt;
            }
            ++uPos;
        }
        uint64_t uValue = 0;
        const size_t uRunStart = uPos;
        while (uPos < strText.size() && strText[uPos] >= '0' && strText[uPos] <= '9') {
            if (uPos - uRunStart == kUMaxDigits) {
                return std::nullopt;
            }
            uValue = uValue * 10 + static_cast<uint64_t>(strText[uPos] - '0');
            ++uPos;
        }
        if (uPos == uRunStart || uValue > UINT32_MAX) {
            return std::nullopt;
        }
        *arrNumbers[uIndex] = static_cast<uint32_t>(uValue);
    }
    if (uPos != strText.size()) {
        return std::nullopt;
    }
    return stVersion;
}

FallbackCeiling FallbackCeiling::Read(const char* szValue)
{
    FallbackCeiling ceiling;
    if (szValue == nullptr || *szValue == '\0') {
        return ceiling;
    }
    ceiling.optInherited = ParseFallbackCeiling(szValue);
    if (!ceiling.optInherited) {
        ceiling.optIgnored = szValue;
    }
    return ceiling;
}

Version FallbackCeiling::Below(const Version& stOwnVersion) const
{
    Version stCeiling = stOwnVersion;
    if (optInherited && *optInherited < stCeiling) {
        stCeiling.uMajor = optInherited->uMajor;
        stCeiling.uMinor = optInherited->uMinor;
        stCeiling.uPatch = optInherited->uPatch;
        stCeiling.uTweak = optInherited->uTweak;
    }
    return stCeiling;
}

FuncHasLauncher HasEntryNamed(fs::path pathLauncherFileName)
{
    return [pathName = std::move(pathLauncherFileName)](const Version& stVersion) {
        std::error_code ec;
        return fs::exists(fs::status(stVersion.path / pathName, ec));
    };
}

std::vector<Version> FallbackCandidates(const Version& stCeiling, const fs::path& pathOwnDirectory,
                                        const std::vector<Version>& vtScanned, const FuncHasLauncher& funcHasLauncher)
{
    std::vector<Version> vtCandidates;
    for (const Version& stVersion : vtScanned) {
        if (stVersion < stCeiling && stVersion.path != pathOwnDirectory && funcHasLauncher(stVersion)) {
            vtCandidates.push_back(stVersion);
        }
    }
    return vtCandidates;
}

LaunchPlan PlanLaunch(const LaunchSituation& situation, const FuncTryStart& funcTryStart)
{
    LaunchPlan plan;
    if (situation.enOwnLibrary == LibraryState::USABLE && !situation.bOwnHeld) {
        return plan;
    }
    plan.stCeiling = situation.ceiling.Below(situation.stOwnVersion);
    plan.vtCandidates = FallbackCandidates(plan.stCeiling, situation.stOwnVersion.path, situation.vtVersions,
                                           situation.funcHasLauncher);
    for (const Version& stCandidate : plan.vtCandidates) {
        ++plan.uTried;
        const std::optional<int> optStatus = funcTryStart(stCandidate);
        if (optStatus && !(situation.bOwnHeld && *optStatus != 0)) {
            plan.enRoute = LaunchRoute::FALLBACK_STARTED;
            plan.optFallback = stCandidate;
            plan.nExitStatus = *optStatus;
            return plan;
        }
    }
    if (situation.bOwnHeld && situation.enOwnLibrary == LibraryState::USABLE) {
        plan.bHeldAnyway = true;
        return plan;
    }
    EndWithoutClient(plan, situation.enOwnLibrary);
    return plan;
}

void EndWithoutClient(LaunchPlan& plan, LibraryState enOwnLibrary)
{
    plan.enRoute = LaunchRoute::NO_CLIENT;
    plan.bHeldAnyway = false;
    if (plan.uTried > 0) {
        plan.optNoClient = NoClientReason::NO_FALLBACK_STARTED;
    } else if (enOwnLibrary == LibraryState::NOT_FOUND) {
        plan.optNoClient = NoClientReason::NO_MAIN_APP;
    } else {
        plan.optNoClient = NoClientReason::MAIN_APP_UNUSABLE;
    }
    plan.nExitStatus = plan.optNoClient == NoClientReason::NO_MAIN_APP ? kNExitNoMainApp : kNExitMainAppUnusable;
}

} // namespace lx
