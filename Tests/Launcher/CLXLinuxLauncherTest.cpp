#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LauncherFixture.h"

namespace fs = std::filesystem;
using namespace lxtest;

namespace {

class CLXLinuxLauncherTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("QT_QPA_PLATFORM", "wayland", 1); }
    void TearDown() override { unsetenv("QT_QPA_PLATFORM"); }

    Installation m_install;
};

TEST_F(CLXLinuxLauncherTest, LoadBindsTheEntryAndOnlyThenSelectsTheX11Platform)
{
    TestLauncher launcher;
    testing::internal::CaptureStderr();
    EXPECT_EQ(launcher.LoadMainAppFunc(m_install.AddVersion("1.0.0", MainApp::StandIn, false)),
              LaunchError::LAUNCH_NO_ERROR);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_NE(launcher.BoundEntry(), nullptr);
    EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), "xcb");
}

TEST_F(CLXLinuxLauncherTest, MissingLibraryReportsTheLoaderTextAndTouchesNothing)
{
    TestLauncher launcher;
    const fs::path pathDir = m_install.AddVersion("1.0.0", MainApp::None, false);
    testing::internal::CaptureStderr();
    EXPECT_EQ(launcher.LoadMainAppFunc(pathDir), LaunchError::LAUNCH_LOAD_MODULE_FAIL);
    const std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_EQ(strErr.rfind("dlopen failed: ", 0), 0u) << strErr;
    EXPECT_NE(strErr.find((pathDir / kszMainAppLibrary).string()), std::string::npos);
    EXPECT_EQ(strErr.back(), '\n');
    EXPECT_EQ(launcher.BoundEntry(), nullptr);
    EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), "wayland");
}

TEST_F(CLXLinuxLauncherTest, LibraryWithoutEntryIsRejectedSilently)
{
    TestLauncher launcher;
    testing::internal::CaptureStderr();
    EXPECT_EQ(launcher.LoadMainAppFunc(m_install.AddVersion("1.0.0", MainApp::NoEntry, false)),
              LaunchError::LAUNCH_LOAD_START_FUNCTION_FAIL);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(launcher.BoundEntry(), nullptr);
    EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), "wayland");
}

TEST_F(CLXLinuxLauncherTest, StartMainAppWithoutABoundEntryReturnsThreeAndLogsNothing)
{
    CapturedLog log;
    TestLauncher launcher;
    char szArg0[] = "launcher";
    char* arrArgv[] = {szArg0, nullptr};
    EXPECT_EQ(launcher.StartMainApp(1, arrArgv), 3);
    EXPECT_EQ(log.Text(), "");
}

TEST_F(CLXLinuxLauncherTest, StartMainAppLogsAroundTheClientRunWithSourceLocation)
{
    CapturedLog log;
    TestLauncher launcher;
    ASSERT_EQ(launcher.LoadMainAppFunc(m_install.AddVersion("1.0.0", MainApp::StandIn, false)),
              LaunchError::LAUNCH_NO_ERROR);
    setenv("LX_APP_RESULT", "-2", 1);
    char szArg0[] = "launcher";
    char* arrArgv[] = {szArg0, nullptr};
    EXPECT_EQ(launcher.StartMainApp(1, arrArgv), -2);
    unsetenv("LX_APP_RESULT");
    EXPECT_THAT(log.Text(),
                testing::MatchesRegex("\\[info\\] \\[LXLauncher.cpp:[0-9]+\\] StartMainApp, ClientType: 120\n"
                                      "\\[info\\] \\[LXLauncher.cpp:[0-9]+\\] EndMainApp, result: -2\n"));
}

TEST_F(CLXLinuxLauncherTest, PathsComeFromTheKernelsSelfLinkAndAreCached)
{
    TestLauncher launcher; // no override: the real self link
    const fs::path pathExe = launcher.GetLauncherExePath();
    EXPECT_EQ(pathExe, fs::read_symlink("/proc/self/exe"));
    EXPECT_TRUE(pathExe.is_absolute());
    EXPECT_EQ(launcher.GetLauncherDirectoryPath(), pathExe.parent_path());
    EXPECT_EQ(launcher.GetVersionRootDirectoryPath(), launcher.GetLauncherDirectoryPath());

    fs::path pathCopy = launcher.GetLauncherExePath();
    pathCopy /= "changed";
    EXPECT_EQ(launcher.GetLauncherExePath(), pathExe);
    EXPECT_EQ(launcher.CachedExePath(), pathExe);
}

// The derived paths go through the virtual getter, so a subclass that moves
// the executable moves the directories too; an empty result is not cached.
TEST_F(CLXLinuxLauncherTest, DerivedPathsFollowTheVirtualExecutablePath)
{
    TestLauncher launcher("/opt/app/1.2.3/launcher");
    EXPECT_EQ(launcher.GetLauncherDirectoryPath(), fs::path("/opt/app/1.2.3"));
    EXPECT_EQ(launcher.GetVersionRootDirectoryPath(), fs::path("/opt/app/1.2.3"));

    TestLauncher bare("launcher");
    EXPECT_EQ(bare.GetLauncherDirectoryPath(), fs::path());
    EXPECT_EQ(bare.GetVersionRootDirectoryPath(), fs::path());
}

} // namespace
