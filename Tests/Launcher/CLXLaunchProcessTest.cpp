#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "LXLaunchProcess.h"
#include "LXProcessUtil.h"
#include "LauncherFixture.h"

namespace fs = std::filesystem;
using namespace lxtest;

namespace {

int WaitExitStatus(pid_t nPid)
{
    const std::optional<int> optStatus = lx::WaitForExit(nPid);
    return optStatus && WIFEXITED(*optStatus) ? WEXITSTATUS(*optStatus) : -1;
}

int CountOpenDescriptors()
{
    int nCount = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++nCount;
    }
    return nCount;
}

class CLXLaunchProcessTest : public ::testing::Test {
protected:
    TempDir m_dir;
    CapturedLog m_log;
};

TEST_F(CLXLaunchProcessTest, MissingProgramIsNotStartedButIsLogged)
{
    const int nDescriptorsBefore = CountOpenDescriptors();
    EXPECT_FALSE(CLXLaunchProcess::Invoke(m_dir / "absent", {}));
    EXPECT_EQ(lx::SpawnDetached(m_dir / "absent", {}).nPid, -1);
    EXPECT_NE(m_log.Text().find("Invoke Process: " + (m_dir / "absent").string()), std::string::npos);
    EXPECT_EQ(CountOpenDescriptors(), nDescriptorsBefore);
}

TEST_F(CLXLaunchProcessTest, FailedExecReportsItsErrnoThroughThePipeAndTheChildExits255)
{
    WriteFile(m_dir / "plain", "not a program");
    const int nDescriptorsBefore = CountOpenDescriptors();

    EXPECT_FALSE(CLXLaunchProcess::Invoke(m_dir / "plain", {}));
    const lx::SpawnResult stResult = lx::SpawnDetached(m_dir / "plain", {"x"});
    EXPECT_FALSE(stResult.bStarted);
    EXPECT_EQ(stResult.nExecError, EACCES);
    ASSERT_GT(stResult.nPid, 0);
    EXPECT_EQ(WaitExitStatus(stResult.nPid), 255);

    // A script whose interpreter is missing fails the same way, with ENOENT.
    WriteScript(m_dir / "broken", "");
    WriteFile(m_dir / "broken", "#!/nonexistent/interpreter\n");
    const lx::SpawnResult stBroken = lx::SpawnDetached(m_dir / "broken", {});
    EXPECT_FALSE(stBroken.bStarted);
    EXPECT_EQ(stBroken.nExecError, ENOENT);
    EXPECT_EQ(WaitExitStatus(stBroken.nPid), 255);

    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    EXPECT_EQ(CountOpenDescriptors(), nDescriptorsBefore);
}

TEST_F(CLXLaunchProcessTest, StartedProgramGetsItsPathAndArgumentsButNoDescriptorOfOurs)
{
    const fs::path pathRecord = m_dir / "record";
    WriteScript(m_dir / "prog", ListDescriptorsCommand(m_dir / "fds") + "\n" +
                                    "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > '" + pathRecord.string() +
                                    ".tmp'\n" + "sleep 2\n" + "mv '" + pathRecord.string() + ".tmp' '" +
                                    pathRecord.string() + "'\n");
    // A descriptor a library might have opened without close-on-exec.
    const int nLeaky = open(m_dir.Path().c_str(), O_RDONLY);
    const int nDescriptorsBefore = CountOpenDescriptors();

    const auto timeStart = std::chrono::steady_clock::now();
    const lx::SpawnResult stResult = lx::SpawnDetached(m_dir / "prog", {"x", "y z"});
    const auto elapsed = std::chrono::steady_clock::now() - timeStart;
    EXPECT_TRUE(stResult.bStarted);
    EXPECT_LT(elapsed, std::chrono::milliseconds(1500)) << "Invoke must not wait for the program";
    EXPECT_EQ(CountOpenDescriptors(), nDescriptorsBefore);

    EXPECT_EQ(WaitExitStatus(stResult.nPid), 0);
    const std::vector<std::string> vtLines = ReadLines(pathRecord);
    ASSERT_EQ(vtLines.size(), 3u);
    EXPECT_EQ(vtLines[0], (m_dir / "prog").string());
    EXPECT_EQ(vtLines[1], "x");
    EXPECT_EQ(vtLines[2], "y z");
    EXPECT_EQ(ForeignDescriptors(m_dir / "fds", m_dir / "prog"), std::vector<std::string>{});
    close(nLeaky);
}

TEST_F(CLXLaunchProcessTest, LogShowsTheGenericPathWhileExecUsesItsOwnText)
{
    const fs::path pathRecord = m_dir / "record";
    WriteScript(m_dir / "prog", "printf '%s\\n' \"$0\" > '" + pathRecord.string() + "'\n");
    const fs::path pathDoubled = m_dir.Path().string() + "//prog";

    const lx::SpawnResult stResult = lx::SpawnDetached(pathDoubled, {});
    ASSERT_TRUE(stResult.bStarted);
    EXPECT_EQ(WaitExitStatus(stResult.nPid), 0);
    EXPECT_EQ(ReadLines(pathRecord).at(0), pathDoubled.string());

    EXPECT_FALSE(CLXLaunchProcess::Invoke(m_dir.Path().string() + "//absent", {}));
    EXPECT_NE(m_log.Text().find("Invoke Process: " + (m_dir / "absent").string() + "\n"), std::string::npos)
        << m_log.Text();
}

} // namespace
