#include <cstdlib>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "LXPosix.h"
#include "LXVersionName.h"
#include "LauncherFixture.h"

namespace fs = std::filesystem;
using namespace lxtest;

namespace {

class CLXLauncherTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        HookLog::Get().Clear();
        Use(m_install);
        unsetenv("LX_APP_RESULT");
        // A launch in this process must neither see nor leave a ceiling.
        unsetenv(lx::kszFallbackCeilingEnv);
    }
    void TearDown() override
    {
        unsetenv("LX_APP_RECORD_FILE");
        unsetenv(kszProbeRecordEnv);
        unsetenv(lx::kszFallbackCeilingEnv);
    }
    static void Use(const Installation& install)
    {
        setenv("LX_APP_RECORD_FILE", install.Scratch("app.record").c_str(), 1);
        setenv(kszProbeRecordEnv, install.ProbeRecord().c_str(), 1);
    }

    int RunLaunch(const fs::path& pathVersionDir, std::vector<std::string> vtArgs = {"launcher"})
    {
        lx::CArgv argv(std::move(vtArgs));
        TestLauncher launcher(pathVersionDir / "launcher");
        return launcher.Launch(argv.Count(), argv.Data());
    }

    Installation m_install;
    CapturedLog m_log; // keeps in-process launches out of a real log
};

// Each road as the hooks and the launch record see it. What the client, the
// started launcher and the log see on the same roads, LauncherProgramTest
// checks from outside.
TEST_F(CLXLauncherTest, EachRoadReportsItsRecordsAndHandlesItsOutcome)
{
    enum class Older { None, Probe, NotExecutable };
    const struct {
        const char* szName;
        MainApp enApp;
        Older enOlder;
        int nExitStatus; // for the stand-in, also the client's result
        std::vector<std::string> vtCalls;
        std::optional<LaunchError> optOwnFailure;
    } arrCases[] = {
        {"client returns 0", MainApp::StandIn, Older::None, 0,
         {"ReportLaunchAppRecord", "ReportStartMainAppRecord", "HandleLaunchError:0"}, std::nullopt},
        {"client returns 7", MainApp::StandIn, Older::None, 7,
         {"ReportLaunchAppRecord", "HandleStartMainResultError:7", "ReportStartMainAppRecord", "HandleLaunchError:0"},
         std::nullopt},
        {"no library, nothing older", MainApp::None, Older::None, lx::kNExitNoMainApp,
         {"ReportLaunchAppRecord", "HandleLaunchError:1"}, LaunchError::LAUNCH_LOAD_MODULE_FAIL},
        {"no entry, older launcher started", MainApp::NoEntry, Older::Probe, 0, {"ReportLaunchAppRecord"},
         LaunchError::LAUNCH_LOAD_START_FUNCTION_FAIL},
        {"no library, older launcher cannot start", MainApp::None, Older::NotExecutable, lx::kNExitMainAppUnusable,
         {"ReportLaunchAppRecord", "HandleLaunchError:1"}, LaunchError::LAUNCH_LOAD_MODULE_FAIL},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
        HookLog::Get().Clear();
        Installation install;
        Use(install);
        setenv("LX_APP_RESULT", std::to_string(testCase.nExitStatus).c_str(), 1);
        const fs::path pathDir = install.AddVersion(kszOwnVersionDir, testCase.enApp);
        const fs::path pathLower = install.AppRoot() / "16.22.9";
        if (testCase.enOlder == Older::Probe) {
            // Started after a newer one that cannot start.
            install.AddProbeVersion("16.22.9");
            WriteFile(install.AppRoot() / "16.22.10/launcher", "not executable");
        } else if (testCase.enOlder == Older::NotExecutable) {
            WriteFile(pathLower / "launcher", "not executable");
        }

        EXPECT_EQ(RunLaunch(pathDir, {"launcher", "--user-arg"}), testCase.nExitStatus);

        const HookLog& hooks = HookLog::Get();
        EXPECT_EQ(hooks.vtCalls, testCase.vtCalls);
        ASSERT_EQ(hooks.vtLaunchRecords.size(), 1u);
        const LaunchAppRecord& record = *hooks.vtLaunchRecords[0];
        if (testCase.optOwnFailure) {
            EXPECT_EQ(record.nResultStatus, -1);
            ASSERT_EQ(record.vtFailVersion.size(), 1u);
            // The compiled-in version, in the directory it runs from.
            EXPECT_EQ(record.vtFailVersion[0].stVersion, MakeVersion(16, 23, 16808, 7081625, pathDir));
            EXPECT_EQ(record.vtFailVersion[0].enLaunchError, *testCase.optOwnFailure);
            EXPECT_TRUE(hooks.vtStartRecords.empty());
        } else {
            EXPECT_EQ(record.nResultStatus, 0);
            EXPECT_TRUE(record.vtFailVersion.empty());
            EXPECT_TRUE(record.bIsTarget);
            EXPECT_EQ(record.stLoadVersion, Version{});
            ASSERT_EQ(hooks.vtStartRecords.size(), 1u);
            EXPECT_EQ(hooks.vtStartRecords[0]->nResult, testCase.nExitStatus);
            EXPECT_GE(hooks.vtStartRecords[0]->durationElapsed, record.durationElapsed);
        }
        if (testCase.enOlder == Older::Probe) {
            const std::vector<Json::Value> vtProbes = WaitForProbeRecords(install.ProbeRecord());
            ASSERT_EQ(vtProbes.size(), 1u);
            ASSERT_EQ(vtProbes[0]["argv"].size(), 1u) << "the user's arguments stay with the first launcher";
            EXPECT_EQ(vtProbes[0]["argv"][0].asString(), (pathLower / "launcher").string());
            EXPECT_EQ(vtProbes[0]["fallback_below"].asString(), "16.22.9.0") << "the version started is its ceiling";
        }
        // The ceiling went to the started launcher only.
        EXPECT_EQ(std::getenv(lx::kszFallbackCeilingEnv), nullptr);
    }
}

TEST_F(CLXLauncherTest, FallbackLooksForTheRunningLaunchersOwnFileName)
{
    const fs::path pathDir = m_install.AppRoot() / kszOwnVersionDir;
    fs::create_directories(pathDir);
    m_install.AddProbeVersion("16.22.9", "launcher");
    const fs::path pathChosen = m_install.AddProbeVersion("16.21.0", "client-start");

    TestLauncher launcher(pathDir / "client-start");
    char szArg0[] = "client-start";
    char* arrArgv[] = {szArg0, nullptr};
    EXPECT_EQ(launcher.Launch(1, arrArgv), 0);

    const std::vector<Json::Value> vtProbes = WaitForProbeRecords(m_install.ProbeRecord());
    ASSERT_EQ(vtProbes.size(), 1u);
    EXPECT_EQ(vtProbes[0]["argv"][0].asString(), (pathChosen / "client-start").string());
}

TEST_F(CLXLauncherTest, MissingProgramNameLeavesTheCommandLinePathEmpty)
{
    TestLauncher launcher(m_install.AddVersion("16.23.1", MainApp::StandIn) / "launcher");
    char* arrArgv[] = {nullptr};
    EXPECT_EQ(launcher.Launch(0, arrArgv), 0);
    EXPECT_TRUE(launcher.GetLauncherExePathFromCommandLine().empty());
}

// --- version directories -------------------------------------------------

class CLXLauncherVersionTest : public ::testing::Test {
protected:
    fs::path Dir(const std::string& strName)
    {
        const fs::path path = m_dir / "app" / strName;
        fs::create_directories(path);
        return path;
    }
    std::vector<std::string> ScanNames(const fs::path& pathParent)
    {
        std::vector<std::string> vtNames;
        for (const Version& version : m_launcher.ParseVersionFromPath(pathParent)) {
            vtNames.push_back(std::to_string(version.uMajor) + "." + std::to_string(version.uMinor) + "." +
                              std::to_string(version.uPatch) + "." + std::to_string(version.uTweak) + "@" +
                              version.path.filename().string());
        }
        return vtNames;
    }

    TempDir m_dir;
    TestLauncher m_launcher{"/opt/app/16.23.16808/launcher"};
};

TEST_F(CLXLauncherVersionTest, ScanListsOnlyVersionDirectoriesHighestFirstInNumericOrder)
{
    for (const char* szName : {"3.10.7", "3.9.12", "3.10.7.1", "1.10.0", "1.2.3", "1.9.9", "release-3.1.1",
                               "3.1.1-beta", "3..7", ".3.1.1", "3.1", "\xd9\xa3.1.1"}) {
        Dir(szName);
    }
    WriteFile(m_dir / "app/4.0.0", "a regular file");
    WriteFile(m_dir / "app/readme", "");
    fs::create_directory_symlink(Dir("elsewhere/target"), m_dir / "app/2.0.0");
    fs::create_directory_symlink(m_dir / "missing", m_dir / "app/2.0.1");
    fs::create_symlink(m_dir / "app/readme", m_dir / "app/2.0.2");
    fs::create_symlink("2.0.3", m_dir / "app/2.0.3"); // its status fails (a loop), it must not throw

    EXPECT_EQ(ScanNames(m_dir / "app"),
              (std::vector<std::string>{"3.10.7.0@3.10.7", "3.9.12.0@3.9.12", "2.0.0.0@2.0.0", "1.10.0.0@1.10.0",
                                        "1.9.9.0@1.9.9", "1.2.3.0@1.2.3"}));
    // A link keeps its own path, not its target's.
    EXPECT_EQ(m_launcher.ParseVersionFromPath(m_dir / "app")[2].path, m_dir / "app/2.0.0");
}

TEST_F(CLXLauncherVersionTest, ScanReadsLeadingZerosAsDecimalAndSaturatesHugeNumbers)
{
    Dir("1.02.3");
    Dir("1.2.3");
    Dir("4294967296.1.1");
    Dir("000000000000000000000000000007.0.99999999999999999999999999");

    const std::vector<Version> vtVersions = m_launcher.ParseVersionFromPath(m_dir / "app");
    ASSERT_EQ(vtVersions.size(), 4u);
    EXPECT_EQ(vtVersions[0].uMajor, 4294967295u);
    EXPECT_EQ(vtVersions[0].uMinor, 1u);
    EXPECT_EQ(vtVersions[1].uMajor, 7u);
    EXPECT_EQ(vtVersions[1].uPatch, 4294967295u);
    for (const size_t i : {2u, 3u}) {
        EXPECT_EQ(vtVersions[i].uMinor, 2u);
        EXPECT_EQ(vtVersions[i].uTweak, 0u);
    }
}

TEST_F(CLXLauncherVersionTest, ScanOfAMissingFileOrUnreadableParentIsEmpty)
{
    WriteFile(m_dir / "file", "x");
    EXPECT_TRUE(m_launcher.ParseVersionFromPath(m_dir / "absent").empty());
    EXPECT_TRUE(m_launcher.ParseVersionFromPath(m_dir / "file").empty());

    if (!IsRoot()) {
        Dir("1.2.3");
        fs::permissions(m_dir / "app", fs::perms::none);
        EXPECT_TRUE(m_launcher.ParseVersionFromPath(m_dir / "app").empty());
    }
}

TEST_F(CLXLauncherVersionTest, CreateVersionTakesUpToFourDigitRunsFromTheName)
{
    EXPECT_EQ(m_launcher.CreateVersion("/x/1.2.3.4.5"), MakeVersion(1, 2, 3, 4, "/x/1.2.3.4.5"));
    EXPECT_EQ(m_launcher.CreateVersion("/x/v7-beta"), MakeVersion(7, 0, 0, 0, "/x/v7-beta"));
    EXPECT_EQ(m_launcher.CreateVersion("no digits"), MakeVersion(0, 0, 0, 0, "no digits"));
    EXPECT_EQ(m_launcher.CreateVersion("/1.2/010.8.9"), MakeVersion(10, 8, 9, 0, "/1.2/010.8.9"));
}

// The choice is the first of the fallback candidates (LXFallbackTest checks
// them), looked up under the running launcher's own file name.
TEST_F(CLXLauncherVersionTest, ChoiceIsTheHighestLowerVersionElsewhereWithTheLaunchersEntry)
{
    WriteFile(Dir("3.11.0") / "launcher", "");
    WriteFile(Dir("3.10.7") / "launcher", ""); // the running one's directory, or its equal elsewhere
    WriteFile(Dir("3.9.1") / "start", "");     // another file name
    fs::create_directories(Dir("3.8.0") / "launcher"); // a directory is enough
    const std::vector<Version> vtVersions = m_launcher.ParseVersionFromPath(m_dir / "app");

    for (const Version& stRunning :
         {MakeVersion(3, 10, 7, 5, m_dir / "app/3.10.7"), MakeVersion(3, 10, 7, 0, "/somewhere/else")}) {
        const std::optional<Version> optChoice = m_launcher.GetValidLowerVersion(stRunning, vtVersions);
        ASSERT_TRUE(optChoice);
        EXPECT_EQ(*optChoice, MakeVersion(3, 8, 0, 0, m_dir / "app/3.8.0"));
    }
    EXPECT_FALSE(m_launcher.GetValidLowerVersion(MakeVersion(3, 10, 7, 0), {}));
}

TEST(VersionTest, OrderingIgnoresThePathWhileEqualityDoesNot)
{
    const Version stA = MakeVersion(1, 2, 3, 4, "/a");
    const Version stB = MakeVersion(1, 2, 3, 4, "/b");
    EXPECT_FALSE(stA < stB);
    EXPECT_FALSE(stB < stA);
    EXPECT_NE(stA, stB);
    EXPECT_EQ(stA, MakeVersion(1, 2, 3, 4, "/a"));
    EXPECT_TRUE(MakeVersion(1, 2, 3, 4) < MakeVersion(1, 2, 4, 0));
    EXPECT_TRUE(MakeVersion(1, 9, 9, 9) < MakeVersion(2, 0, 0, 0));
    EXPECT_TRUE(MakeVersion(0, 0, 0, 4294967294u) < MakeVersion(0, 0, 0, 4294967295u));
}

} // namespace
