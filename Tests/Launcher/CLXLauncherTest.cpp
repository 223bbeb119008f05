#include <cstdlib>
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
        setenv("LX_APP_RECORD_FILE", m_install.Scratch("app.record").c_str(), 1);
        setenv(kszProbeRecordEnv, m_install.ProbeRecord().c_str(), 1);
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

    int RunLaunch(const fs::path& pathVersionDir, std::vector<std::string> vtArgs = {"launcher"})
    {
        lx::CArgv argv(std::move(vtArgs));
        TestLauncher launcher(pathVersionDir / "launcher");
        return launcher.Launch(argv.Count(), argv.Data());
    }

    Installation m_install;
    CapturedLog m_log;
};

TEST_F(CLXLauncherTest, NormalRunPassesTheClientResultThroughAndReportsBothRecords)
{
    for (const int nClientResult : {0, 7}) {
        SCOPED_TRACE(nClientResult);
        HookLog::Get().Clear();
        const fs::path pathDir = m_install.AddVersion("16.23.1" + std::to_string(nClientResult), MainApp::StandIn);
        setenv("LX_APP_RESULT", std::to_string(nClientResult).c_str(), 1);

        EXPECT_EQ(RunLaunch(pathDir, {"launcher", "--flag", "value"}), nClientResult);

        const HookLog& hooks = HookLog::Get();
        std::vector<std::string> vtExpected{"ReportLaunchAppRecord"};
        if (nClientResult != 0) {
            vtExpected.push_back("HandleStartMainResultError:7");
        }
        vtExpected.push_back("ReportStartMainAppRecord");
        vtExpected.push_back("HandleLaunchError:0");
        EXPECT_EQ(hooks.vtCalls, vtExpected);

        ASSERT_EQ(hooks.vtLaunchRecords.size(), 1u);
        const LaunchAppRecord& record = *hooks.vtLaunchRecords[0];
        EXPECT_EQ(record.nResultStatus, 0);
        EXPECT_TRUE(record.vtFailVersion.empty());
        EXPECT_TRUE(record.bIsTarget);
        EXPECT_EQ(record.stLoadVersion, Version{});
        ASSERT_EQ(hooks.vtStartRecords.size(), 1u);
        EXPECT_EQ(hooks.vtStartRecords[0]->nResult, nClientResult);
        EXPECT_GE(hooks.vtStartRecords[0]->durationElapsed, record.durationElapsed);
    }

    // The client saw the unchanged command line and its edition code.
    const std::vector<Json::Value> vtCalls = ReadJsonLines(m_install.Scratch("app.record"));
    ASSERT_EQ(vtCalls.size(), 2u);
    EXPECT_EQ(vtCalls[1]["client_type"].asInt(), 120);
    EXPECT_EQ(vtCalls[1]["argc"].asInt(), 3);
    EXPECT_EQ(vtCalls[1]["argv"][2].asString(), "value");
    EXPECT_EQ(vtCalls[1]["qt_qpa_platform"].asString(), "xcb");

    const std::string strLog = m_log.Text();
    EXPECT_NE(strLog.find("StartMainApp, ClientType: 120\n"), std::string::npos);
    EXPECT_NE(strLog.find("EndMainApp, result: 7\n"), std::string::npos);
}

TEST_F(CLXLauncherTest, MissingLibraryWithNothingToFallBackToExits127AndHandlesTheLoadError)
{
    const fs::path pathDir = m_install.AddVersion(kszOwnVersionDir, MainApp::None);

    EXPECT_EQ(RunLaunch(pathDir), lx::kNExitNoMainApp);

    const HookLog& hooks = HookLog::Get();
    EXPECT_EQ(hooks.vtCalls, (std::vector<std::string>{"ReportLaunchAppRecord", "HandleLaunchError:1"}));
    ASSERT_EQ(hooks.vtLaunchRecords.size(), 1u);
    const LaunchAppRecord& record = *hooks.vtLaunchRecords[0];
    EXPECT_EQ(record.nResultStatus, -1);
    ASSERT_EQ(record.vtFailVersion.size(), 1u);
    EXPECT_EQ(record.vtFailVersion[0].stVersion, MakeVersion(16, 23, 16808, 7081625, pathDir));
    EXPECT_EQ(record.vtFailVersion[0].enLaunchError, LaunchError::LAUNCH_LOAD_MODULE_FAIL);
    EXPECT_TRUE(hooks.vtStartRecords.empty());
    EXPECT_FALSE(fs::exists(m_install.Scratch("app.record")));
}

TEST_F(CLXLauncherTest, LibraryWithoutEntryFallsBackToTheLowerLauncherWithoutTheUsersArguments)
{
    const fs::path pathDir = m_install.AddVersion(kszOwnVersionDir, MainApp::NoEntry);
    const fs::path pathLower = m_install.AddProbeVersion("16.22.9");

    EXPECT_EQ(RunLaunch(pathDir, {"launcher", "--user-arg"}), 0);

    const HookLog& hooks = HookLog::Get();
    EXPECT_EQ(hooks.vtCalls, (std::vector<std::string>{"ReportLaunchAppRecord"}));
    ASSERT_EQ(hooks.vtLaunchRecords.size(), 1u);
    ASSERT_EQ(hooks.vtLaunchRecords[0]->vtFailVersion.size(), 1u);
    EXPECT_EQ(hooks.vtLaunchRecords[0]->vtFailVersion[0].enLaunchError, LaunchError::LAUNCH_LOAD_START_FUNCTION_FAIL);
    EXPECT_EQ(hooks.vtLaunchRecords[0]->nResultStatus, -1);

    const std::vector<Json::Value> vtProbes = WaitForProbeRecords(m_install.ProbeRecord());
    ASSERT_EQ(vtProbes.size(), 1u);
    ASSERT_EQ(vtProbes[0]["argv"].size(), 1u);
    EXPECT_EQ(vtProbes[0]["argv"][0].asString(), (pathLower / "launcher").string());
    EXPECT_EQ(ProbeDescriptors(vtProbes[0]), (std::vector<int>{0, 1, 2, lx::kNReadyFdHandedOver}));
    EXPECT_EQ(vtProbes[0]["ready_fd"].asString(), std::to_string(lx::kNReadyFdHandedOver));
    // The ceiling went to the started launcher only, as the version started.
    EXPECT_EQ(vtProbes[0]["fallback_below"].asString(), "16.22.9.0");
    EXPECT_EQ(std::getenv(lx::kszFallbackCeilingEnv), nullptr);
    EXPECT_NE(m_log.Text().find("Invoke Process: " + (pathLower / "launcher").generic_string()), std::string::npos);
}

TEST_F(CLXLauncherTest, FallbackThatCannotStartExits126AndHandlesTheLoadError)
{
    const fs::path pathDir = m_install.AddVersion(kszOwnVersionDir, MainApp::None);
    const fs::path pathLower = m_install.AppRoot() / "16.22.9";
    WriteFile(pathLower / "launcher", "not executable");

    EXPECT_EQ(RunLaunch(pathDir), lx::kNExitMainAppUnusable);

    EXPECT_EQ(HookLog::Get().vtCalls, (std::vector<std::string>{"ReportLaunchAppRecord", "HandleLaunchError:1"}));
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

TEST_F(CLXLauncherVersionTest, ChoiceIsTheHighestStrictlyLowerVersionElsewhereWithALauncherEntry)
{
    const fs::path pathOwn = Dir("3.10.7");
    WriteFile(pathOwn / "launcher", "");
    Dir("3.9.12"); // no launcher inside
    WriteFile(Dir("3.9.1") / "launcher", "");
    WriteFile(Dir("3.11.0") / "launcher", "");
    WriteFile(Dir("3.10.07") / "launcher", "");

    const Version stRunning = MakeVersion(3, 10, 7, 5, pathOwn);
    const std::vector<Version> vtVersions = m_launcher.ParseVersionFromPath(m_dir / "app");

    // 3.10.07 reads as 3.10.7.0: lower than 3.10.7.5 and in another directory.
    std::optional<Version> optChoice = m_launcher.GetValidLowerVersion(stRunning, vtVersions);
    ASSERT_TRUE(optChoice);
    EXPECT_EQ(optChoice->path, m_dir / "app/3.10.07");

    fs::remove_all(m_dir / "app/3.10.07");
    optChoice = m_launcher.GetValidLowerVersion(stRunning, m_launcher.ParseVersionFromPath(m_dir / "app"));
    ASSERT_TRUE(optChoice);
    EXPECT_EQ(*optChoice, MakeVersion(3, 9, 1, 0, m_dir / "app/3.9.1"));
}

TEST_F(CLXLauncherVersionTest, ChoiceNeverTakesEqualHigherOrLauncherlessVersions)
{
    WriteFile(Dir("3.11.0") / "launcher", "");
    WriteFile(Dir("3.10.7") / "launcher", "");         // equal to the running version: not lower
    WriteFile(Dir("3.9.0") / "start", "");             // another file name
    fs::create_directories(Dir("3.8.0") / "launcher"); // a directory is enough

    const std::vector<Version> vtVersions = m_launcher.ParseVersionFromPath(m_dir / "app");
    const std::optional<Version> optChoice =
        m_launcher.GetValidLowerVersion(MakeVersion(3, 10, 7, 0, "/somewhere/else"), vtVersions);
    ASSERT_TRUE(optChoice);
    EXPECT_EQ(optChoice->path, m_dir / "app/3.8.0");

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
