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
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szText);
        EXPECT_EQ(lx::ParseFallbackCeiling(testCase.szText), testCase.optExpected);
        const lx::FallbackCeilingSetting stSetting = lx::ReadFallbackCeiling(testCase.szText);
        EXPECT_EQ(stSetting.optCeiling, testCase.optExpected);
        // Set but not a version is reported; empty counts as unset.
        EXPECT_EQ(stSetting.optIgnored.has_value(), !testCase.optExpected && *testCase.szText != '\0');
    }
    EXPECT_FALSE(lx::ReadFallbackCeiling(nullptr).optCeiling || lx::ReadFallbackCeiling(nullptr).optIgnored);

    const Version stOwn = MakeVersion(16, 23, 16808, 7, "/opt/app/16.23.16808");
    EXPECT_EQ(lx::EffectiveCeiling(stOwn, std::nullopt), stOwn);
    EXPECT_EQ(lx::EffectiveCeiling(stOwn, MakeVersion(17, 0, 0, 0)), stOwn);
    EXPECT_EQ(lx::EffectiveCeiling(stOwn, MakeVersion(16, 22, 1, 0)), MakeVersion(16, 22, 1, 0, stOwn.path));
}

TEST(LXFallbackTest, WhatFailedDecidesTheExitStatusAndItsWording)
{
    using lx::MainAppState;
    const struct {
        MainAppState enOwn;
        size_t uTried;
        bool bStarted;
        int nStatus; // -1: a client runs or a fallback was started
        const char* szReason;
    } arrCases[] = {
        {MainAppState::Usable, 0, false, -1, ""},
        {MainAppState::NoEntry, 3, true, -1, ""},
        {MainAppState::NotFound, 0, false, 127, "no main application library found"},
        {MainAppState::NotLoadable, 0, false, 126, "main application library unusable"},
        {MainAppState::NoEntry, 0, false, 126, "main application library unusable"},
        {MainAppState::NotFound, 2, false, 126, "no fallback launcher could be started"},
        {MainAppState::NoEntry, 1, false, 126, "no fallback launcher could be started"},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szReason);
        const auto optReason = lx::NoClientReasonFor(testCase.enOwn, testCase.uTried, testCase.bStarted);
        ASSERT_EQ(optReason.has_value(), testCase.nStatus != -1);
        if (optReason) {
            EXPECT_EQ(lx::ExitStatusFor(*optReason), testCase.nStatus);
            EXPECT_STREQ(lx::DescribeNoClientReason(*optReason), testCase.szReason);
        }
    }
    EXPECT_EQ(lx::TerminalLine("/opt/x/16.1.1/trader", lx::NoClientReason::NoMainApp, "/h/Launcher.log"),
              "trader: the client could not be started: no main application library found; see /h/Launcher.log\n");
    EXPECT_EQ(lx::TerminalLine(nullptr, lx::NoClientReason::NoFallbackStarted, "/a\nb").substr(0, 9), "launcher:");
    EXPECT_NE(lx::TerminalLine("dir/", lx::NoClientReason::NoFallbackStarted, "/a\nb").find("see /a\\nb\n"),
              std::string::npos);
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
    for (const Version& stVersion : lx::FallbackCandidates(stCeiling, dir / "3.10.7", vtScanned, "launcher")) {
        vtNames.push_back(stVersion.path.filename().string());
    }
    EXPECT_EQ(vtNames, (std::vector<std::string>{"3.10.07", "3.9.1", "3.8.0"}));
    EXPECT_TRUE(lx::FallbackCandidates(stCeiling, dir / "3.10.7", vtScanned, "start").empty());
    EXPECT_EQ(lx::FormatVersionList(vtScanned), "3.11.0, 3.10.7, 3.10.07, 3.9.12, 3.9.1, 3.8.0");
    EXPECT_EQ(lx::FormatVersionList({}), "none");
}

TEST(LXFallbackTest, EscapingLeavesOnlyPrintableBytesAndIsUnambiguous)
{
    EXPECT_EQ(lx::EscapeControlCharacters("/opt/app/16.1.1"), "/opt/app/16.1.1");
    EXPECT_EQ(lx::EscapeControlCharacters("a\nb\tc\rd\x1b[31m\x7f\\e"), "a\\nb\\tc\\rd\\x1b[31m\\x7f\\\\e");
    EXPECT_EQ(lx::EscapeControlCharacters(std::string_view("\0\x01", 2)), "\\x00\\x01");
    EXPECT_EQ(lx::EscapeControlCharacters("caf\xc3\xa9"), "caf\xc3\xa9");
}

} // namespace
