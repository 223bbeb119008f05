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

// Each outcome of loading is one log line, never console output; only a
// bound entry selects the X11 platform.
TEST_F(CLXLinuxLauncherTest, LoadLogsWhyTheLibraryIsUnusableAndSelectsX11OnlyWithTheEntryBound)
{
    const struct {
        MainApp enApp;
        LaunchError enError;
        const char* szLogPrefix; // followed by the library's path
    } arrCases[] = {
        {MainApp::StandIn, LaunchError::LAUNCH_NO_ERROR, nullptr},
        {MainApp::None, LaunchError::LAUNCH_LOAD_MODULE_FAIL, "Main application library not found: "},
        {MainApp::NotElf, LaunchError::LAUNCH_LOAD_MODULE_FAIL, "Main application library could not be loaded: "},
        {MainApp::NoEntry, LaunchError::LAUNCH_LOAD_START_FUNCTION_FAIL,
         "Main application library has no entry StartMainApp: "},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(static_cast<int>(testCase.enApp));
        setenv("QT_QPA_PLATFORM", "wayland", 1);
        CapturedLog log;
        TestLauncher launcher;
        const fs::path pathDir =
            m_install.AddVersion("1.0." + std::to_string(static_cast<int>(testCase.enApp)), testCase.enApp, false);
        testing::internal::CaptureStderr();
        EXPECT_EQ(launcher.LoadMainAppFunc(pathDir), testCase.enError);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        const bool bUsable = testCase.szLogPrefix == nullptr;
        EXPECT_EQ(launcher.BoundEntry() != nullptr, bUsable);
        EXPECT_STREQ(std::getenv("QT_QPA_PLATFORM"), bUsable ? "xcb" : "wayland");
        const std::string strLog = log.Text();
        if (bUsable) {
            EXPECT_EQ(strLog, "");
        } else {
            EXPECT_THAT(strLog, testing::StartsWith("[info] [LXLinuxLauncher.cpp:"));
            EXPECT_NE(strLog.find(std::string("] ") + testCase.szLogPrefix + (pathDir / kszMainAppLibrary).string()),
                      std::string::npos)
                << strLog;
        }
    }
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
