#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "LXLaunchProcess.h"
#include "LauncherFixture.h"

namespace fs = std::filesystem;
using namespace lxtest;

namespace {

lx::StartResult Spawn(const fs::path& path, std::vector<std::string> vtArgs, std::vector<lx::HandOver> vtHandOver = {})
{
    lx::ProcessOptions options;
    options.vtStrArgs = std::move(vtArgs);
    options.vtHandOver = std::move(vtHandOver);
    return lx::StartProcess(path, options);
}

int WaitExitStatus(pid_t nPid)
{
    const std::optional<int> optStatus = WaitForExit(nPid);
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
    EXPECT_EQ(Spawn(m_dir / "absent", {}).nPid, -1);
    EXPECT_NE(m_log.Text().find("Invoke Process: " + (m_dir / "absent").string()), std::string::npos);
    EXPECT_EQ(CountOpenDescriptors(), nDescriptorsBefore);
}

TEST_F(CLXLaunchProcessTest, FailedExecReportsItsErrnoThroughThePipeAndItsChildIsReaped)
{
    WriteFile(m_dir / "plain", "not a program");
    const int nDescriptorsBefore = CountOpenDescriptors();

    EXPECT_FALSE(CLXLaunchProcess::Invoke(m_dir / "plain", {}));
    const lx::StartResult stResult = Spawn(m_dir / "plain", {"x"});
    EXPECT_FALSE(stResult.bStarted);
    EXPECT_EQ(stResult.nExecError, EACCES);
    ASSERT_GT(stResult.nPid, 0);
    EXPECT_EQ(waitpid(stResult.nPid, nullptr, WNOHANG), -1) << "already reaped";

    // A script whose interpreter is missing fails the same way, with ENOENT.
    WriteScript(m_dir / "broken", "");
    WriteFile(m_dir / "broken", "#!/nonexistent/interpreter\n");
    const lx::StartResult stBroken = Spawn(m_dir / "broken", {});
    EXPECT_FALSE(stBroken.bStarted);
    EXPECT_EQ(stBroken.nExecError, ENOENT);
    EXPECT_EQ(waitpid(stBroken.nPid, nullptr, WNOHANG), -1) << "already reaped";
    EXPECT_EQ(CountOpenDescriptors(), nDescriptorsBefore);
}

TEST_F(CLXLaunchProcessTest, StartedProgramGetsItsPathAndArgumentsButNoDescriptorOfOurs)
{
    fs::create_symlink(TestProgramPath(), m_dir / "prog");
    setenv(kszProbeRecordEnv, (m_dir / "record").c_str(), 1);
    setenv("LX_TEST_PROBE_DELAY_MS", "2000", 1);
    // A descriptor a library might have opened without close-on-exec.
    const int nLeaky = open(m_dir.Path().c_str(), O_RDONLY);
    const int nDescriptorsBefore = CountOpenDescriptors();

    const auto timeStart = std::chrono::steady_clock::now();
    const lx::StartResult stResult = Spawn(m_dir / "prog", {"x", "y z"});
    const auto elapsed = std::chrono::steady_clock::now() - timeStart;
    unsetenv(kszProbeRecordEnv);
    unsetenv("LX_TEST_PROBE_DELAY_MS");
    EXPECT_TRUE(stResult.bStarted);
    EXPECT_LT(elapsed, std::chrono::milliseconds(1500)) << "Invoke must not wait for the program";
    EXPECT_EQ(CountOpenDescriptors(), nDescriptorsBefore);

    EXPECT_EQ(WaitExitStatus(stResult.nPid), 0);
    const std::vector<Json::Value> vtRecords = ReadJsonLines(m_dir / "record");
    ASSERT_EQ(vtRecords.size(), 1u);
    const Json::Value& argv = vtRecords[0]["argv"];
    ASSERT_EQ(argv.size(), 3u);
    EXPECT_EQ(argv[0].asString(), (m_dir / "prog").string());
    EXPECT_EQ(argv[1].asString(), "x");
    EXPECT_EQ(argv[2].asString(), "y z");
    EXPECT_EQ(ProbeDescriptors(vtRecords[0]), (std::vector<int>{0, 1, 2}));

    // Handed over, it arrives at the number asked for, even one already ours.
    setenv(kszProbeRecordEnv, (m_dir / "handed").c_str(), 1);
    const lx::StartResult stHanded = Spawn(m_dir / "prog", {}, {{nLeaky, 7}, {nLeaky, nLeaky}});
    unsetenv(kszProbeRecordEnv);
    EXPECT_EQ(WaitExitStatus(stHanded.nPid), 0);
    const std::vector<Json::Value> vtHanded = ReadJsonLines(m_dir / "handed");
    ASSERT_EQ(vtHanded.size(), 1u);
    std::vector<int> vtExpected{0, 1, 2, nLeaky, 7};
    std::sort(vtExpected.begin(), vtExpected.end());
    EXPECT_EQ(ProbeDescriptors(vtHanded[0]), vtExpected);
    close(nLeaky);
}

TEST_F(CLXLaunchProcessTest, LogShowsTheGenericPathWhileExecUsesItsOwnText)
{
    const fs::path pathRecord = m_dir / "record";
    WriteScript(m_dir / "prog", "printf '%s\\n' \"$0\" > '" + pathRecord.string() + "'\n");
    const fs::path pathDoubled = m_dir.Path().string() + "//prog";

    const lx::StartResult stResult = Spawn(pathDoubled, {});
    ASSERT_TRUE(stResult.bStarted);
    EXPECT_EQ(WaitExitStatus(stResult.nPid), 0);
    EXPECT_EQ(ReadLines(pathRecord).at(0), pathDoubled.string());

    EXPECT_FALSE(CLXLaunchProcess::Invoke(m_dir.Path().string() + "//absent", {}));
    EXPECT_NE(m_log.Text().find("Invoke Process: " + (m_dir / "absent").string() + "\n"), std::string::npos)
        << m_log.Text();
}

} // namespace
