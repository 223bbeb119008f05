#include <gtest/gtest.h>

#include "LXFallback.h"
#include "LXVersionName.h"
#include "LauncherFixture.h"

namespace fs = std::filesystem;
using namespace lxtest;

namespace {

TEST(LXFallbackTest, CeilingTextIsExactlyFourDottedDecimal32BitNumbers)
{
    const struct {
        const char* szText;
        std::optional<Version> optExpected;
    } arrCases[] = {
        {"16.22.100.0", MakeVersion(16, 22, 100, 0)},
        {"0.0.0.0", MakeVersion(0, 0, 0, 0)},
        {"007.08.0.4294967295", MakeVersion(7, 8, 0, 4294967295u)},
        {"0000000001.2.3.4", MakeVersion(1, 2, 3, 4)},
        {"garbage", std::nullopt},
        {"", std::nullopt},
        {"16.23", std::nullopt},
        {"16.23.1", std::nullopt},
        {"1.2.3.4.5", std::nullopt},
        {"1.2.3.4294967296", std::nullopt},
        {"1.2.3.00000000001", std::nullopt},
        {" 1.2.3.4", std::nullopt},
        {"1.2.3.4\n", std::nullopt},
        {"+1.2.3.4", std::nullopt},
        {"1..3.4", std::nullopt},
        {"1.2.3.\xd9\xa3", std::nullopt},
    };
    const Version stOwn = MakeVersion(16, 23, 16808, 7, "/opt/app/16.23.16808");
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szText);
        EXPECT_EQ(lx::ParseFallbackCeiling(testCase.szText), testCase.optExpected);
        const lx::FallbackCeiling ceiling = lx::FallbackCeiling::Read(testCase.szText);
        EXPECT_EQ(ceiling.optInherited, testCase.optExpected);
        // Set but not a version is reported, never read as a low ceiling;
        // empty counts as unset.
        EXPECT_EQ(ceiling.optIgnored.has_value(), !testCase.optExpected && *testCase.szText != '\0');
        if (!testCase.optExpected) {
            EXPECT_EQ(ceiling.Below(stOwn), stOwn);
        }
    }
    EXPECT_FALSE(lx::FallbackCeiling::Read(nullptr).optInherited || lx::FallbackCeiling::Read(nullptr).optIgnored);
    EXPECT_EQ(lx::FallbackCeiling::Read("17.0.0.0").Below(stOwn), stOwn);
    EXPECT_EQ(lx::FallbackCeiling::Read("16.23.16808.7").Below(stOwn), stOwn);
    EXPECT_EQ(lx::FallbackCeiling::Read("16.22.1.0").Below(stOwn), MakeVersion(16, 22, 1, 0, stOwn.path));
}

// Each row: the own library, which of the three lower versions "a", "b", "c"
// start (with what status), and the road taken.
TEST(LXFallbackTest, PlanTriesCandidatesInTurnAndNamesWhyNoClientRuns)
{
    using lx::LaunchRoute;
    using lx::LibraryState;
    const struct {
        LibraryState enOwn;
        const char* szHasLauncher; // which of a, b, c hold a launcher
        const char* szStarts;      // which start
        LaunchRoute enRoute;
        size_t uTried;
        int nStatus;
        const char* szReason; // empty: none
    } arrCases[] = {
        {LibraryState::USABLE, "abc", "abc", LaunchRoute::RUN_OWN_CLIENT, 0, 0, ""},
        {LibraryState::NO_ENTRY, "abc", "bc", LaunchRoute::FALLBACK_STARTED, 2, 0, ""},
        {LibraryState::NOT_FOUND, "c", "c", LaunchRoute::FALLBACK_STARTED, 1, 0, ""},
        {LibraryState::NOT_FOUND, "", "abc", LaunchRoute::NO_CLIENT, 0, 127, "no main application library found"},
        {LibraryState::NOT_LOADABLE, "", "", LaunchRoute::NO_CLIENT, 0, 126, "main application library unusable"},
        {LibraryState::NO_ENTRY, "", "", LaunchRoute::NO_CLIENT, 0, 126, "main application library unusable"},
        {LibraryState::NOT_FOUND, "ab", "c", LaunchRoute::NO_CLIENT, 2, 126, "no fallback launcher could be started"},
        {LibraryState::NO_ENTRY, "a", "", LaunchRoute::NO_CLIENT, 1, 126, "no fallback launcher could be started"},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(std::string(testCase.szHasLauncher) + "/" + testCase.szStarts);
        lx::LaunchSituation situation;
        situation.enOwnLibrary = testCase.enOwn;
        situation.stOwnVersion = MakeVersion(2, 0, 0, 0, "/v/own");
        for (const char* szName : {"a", "b", "c"}) {
            situation.vtVersions.push_back(MakeVersion(1, 0, 0, 0, fs::path("/v") / szName));
        }
        const auto Named = [](const char* szSet, const Version& stVersion) {
            return std::string_view(szSet).find(stVersion.path.filename().string()) != std::string_view::npos;
        };
        situation.funcHasLauncher = [&](const Version& stVersion) { return Named(testCase.szHasLauncher, stVersion); };
        std::vector<std::string> vtTried;
        const lx::LaunchPlan plan = lx::PlanLaunch(situation, [&](const Version& stVersion) -> std::optional<int> {
            vtTried.push_back(stVersion.path.filename().string());
            return Named(testCase.szStarts, stVersion) ? std::optional<int>(0) : std::nullopt;
        });
        EXPECT_EQ(plan.enRoute, testCase.enRoute);
        EXPECT_EQ(plan.uTried, testCase.uTried);
        EXPECT_EQ(vtTried.size(), testCase.uTried);
        EXPECT_EQ(plan.nExitStatus, testCase.nStatus);
        EXPECT_EQ(plan.optFallback.has_value(), testCase.enRoute == LaunchRoute::FALLBACK_STARTED);
        EXPECT_STREQ(plan.optNoClient ? lx::DescribeNoClientReason(*plan.optNoClient) : "", testCase.szReason);
    }
    EXPECT_EQ(lx::LaunchErrorFor(LibraryState::USABLE), LaunchError::LAUNCH_NO_ERROR);
    EXPECT_EQ(lx::LaunchErrorFor(LibraryState::NOT_FOUND), LaunchError::LAUNCH_LOAD_MODULE_FAIL);
    EXPECT_EQ(lx::LaunchErrorFor(LibraryState::NOT_LOADABLE), LaunchError::LAUNCH_LOAD_MODULE_FAIL);
    EXPECT_EQ(lx::LaunchErrorFor(LibraryState::NO_ENTRY), LaunchError::LAUNCH_LOAD_START_FUNCTION_FAIL);
}

// A held own build: each row's lower versions "a", "b", "c" end as the
// candidate start ends them ('s' started a client, 'e' its chain ended
// without one with status 126, '-' did not start).
TEST(LXFallbackTest, HeldBuildFallsBackButNeverLeavesTheUserWithoutAClient)
{
    using lx::LaunchRoute;
    const struct {
        const char* szStarts;
        lx::LibraryState enOwn;
        LaunchRoute enRoute;
        const char* szFallback; // empty: none
        bool bHeldAnyway;
        int nStatus;
    } arrCases[] = {
        {"ss-", lx::LibraryState::USABLE, LaunchRoute::FALLBACK_STARTED, "a", false, 0},
        {"e-s", lx::LibraryState::USABLE, LaunchRoute::FALLBACK_STARTED, "c", false, 0},
        {"e--", lx::LibraryState::USABLE, LaunchRoute::RUN_OWN_CLIENT, "", true, 0},
        {"", lx::LibraryState::USABLE, LaunchRoute::RUN_OWN_CLIENT, "", true, 0},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szStarts);
        lx::LaunchSituation situation;
        situation.bOwnHeld = true;
        situation.enOwnLibrary = testCase.enOwn;
        situation.stOwnVersion = MakeVersion(2, 0, 0, 0, "/v/own");
        const std::string strStarts = testCase.szStarts;
        for (size_t u = 0; u < strStarts.size(); ++u) {
            situation.vtVersions.push_back(MakeVersion(1, 0, 0, 0, fs::path("/v") / std::string(1, char('a' + u))));
        }
        situation.funcHasLauncher = [](const Version&) { return true; };
        const lx::LaunchPlan plan = lx::PlanLaunch(situation, [&](const Version& stVersion) -> std::optional<int> {
            const char chEnd = strStarts[static_cast<size_t>(stVersion.path.filename().string()[0] - 'a')];
            return chEnd == 's' ? std::optional<int>(0) : chEnd == 'e' ? std::optional<int>(126) : std::nullopt;
        });
        EXPECT_EQ(plan.enRoute, testCase.enRoute);
        EXPECT_EQ(plan.optFallback ? plan.optFallback->path.filename().string() : "", testCase.szFallback);
        EXPECT_EQ(plan.bHeldAnyway, testCase.bHeldAnyway);
        EXPECT_EQ(plan.nExitStatus, testCase.nStatus);
        EXPECT_FALSE(plan.optNoClient);
    }
    lx::LaunchPlan plan;
    plan.bHeldAnyway = true;
    lx::EndWithoutClient(plan, lx::LibraryState::NOT_LOADABLE);
    EXPECT_EQ(plan.enRoute, LaunchRoute::NO_CLIENT);
    EXPECT_FALSE(plan.bHeldAnyway);
    EXPECT_EQ(plan.nExitStatus, 126);
}

TEST(LXFallbackTest, CandidatesAreTheLowerVersionsElsewhereWithTheLauncherEntryInScanOrder)
{
    TempDir dir;
    std::vector<Version> vtScanned;
    for (const char* szName : {"3.11.0", "3.10.7", "3.10.07", "3.9.12", "3.9.1", "3.8.0"}) {
        Version stVersion;
        stVersion.path = dir / szName;
        lx::ReadVersionNumbers(szName, stVersion);
        vtScanned.push_back(stVersion);
    }
    for (const char* szName : {"3.11.0", "3.10.7", "3.10.07", "3.9.1"}) {
        WriteFile(dir / szName / "launcher", "");
    }
    fs::create_directories(dir / "3.8.0/launcher"); // any file type counts
    const Version stCeiling = MakeVersion(3, 10, 7, 5);

    std::vector<std::string> vtNames;
    for (const Version& stVersion :
         lx::FallbackCandidates(stCeiling, dir / "3.10.7", vtScanned, lx::HasEntryNamed("launcher"))) {
        vtNames.push_back(stVersion.path.filename().string());
    }
    EXPECT_EQ(vtNames, (std::vector<std::string>{"3.10.07", "3.9.1", "3.8.0"}));
    EXPECT_TRUE(lx::FallbackCandidates(stCeiling, dir / "3.10.7", vtScanned, lx::HasEntryNamed("start")).empty());
    EXPECT_EQ(lx::FormatVersionList(vtScanned), "3.11.0, 3.10.7, 3.10.07, 3.9.12, 3.9.1, 3.8.0");
    EXPECT_EQ(lx::FormatVersionList({}), "none");
}

} // namespace
