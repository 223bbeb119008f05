// The built launcher, run as a child process in a temporary installation.

#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "LauncherFixture.h"

namespace fs = std::filesystem;
using namespace lxtest;
using namespace std::chrono_literals;

namespace {

const std::regex kLogLine(R"(\[info\] \[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[(\d+):\d+\] \[Launcher\] )"
                          R"(\[([A-Za-z_]+\.cpp):\d+\] (.*))");

struct LogRecord {
    std::string strPid;
    std::string strFile;
    std::string strMessage;
};

std::vector<LogRecord> ParseLog(const fs::path& path)
{
    std::vector<LogRecord> vtRecords;
    for (const std::string& strLine : ReadLines(path)) {
        std::smatch match;
        if (!std::regex_match(strLine, match, kLogLine)) {
            ADD_FAILURE() << "not a launcher log line: " << strLine;
            continue;
        }
        vtRecords.push_back({match[1], match[2], match[3]});
    }
    return vtRecords;
}

std::vector<std::string> Messages(const std::vector<LogRecord>& vtRecords)
{
    std::vector<std::string> vtMessages;
    for (const LogRecord& record : vtRecords) {
        vtMessages.push_back(record.strMessage);
    }
    return vtMessages;
}

class LauncherProgramTest : public ::testing::Test {
protected:
    ProcessResult Run(const fs::path& pathProgram, std::vector<std::string> vtArgs = {},
                      std::map<std::string, std::optional<std::string>> mapEnv = {}, fs::path pathCwd = {})
    {
        ProcessOptions options;
        options.mapEnv = {{"HOME", m_install.Home().string()},
                          {"LX_APP_RECORD_FILE", m_install.Scratch("app.record").string()},
                          {"QT_QPA_PLATFORM", "offscreen"}};
        for (auto& [strName, optValue] : mapEnv) {
            options.mapEnv[strName] = optValue;
        }
        options.pathWorkingDirectory = pathCwd.empty() ? m_install.Scratch("") : pathCwd;
        vtArgs.insert(vtArgs.begin(), pathProgram.string());
        return RunProcess(vtArgs, options);
    }
    std::vector<Json::Value> ClientCalls() { return ReadJsonLines(m_install.Scratch("app.record")); }

    Installation m_install;
};

TEST_F(LauncherProgramTest, RunsTheClientInProcessThroughALinkFromAnotherDirectory)
{
    const fs::path pathVersion = m_install.AddVersion(kszOwnVersionDir, MainApp::StandIn);
    const fs::path pathElsewhere = m_install.Scratch("elsewhere");
    fs::create_directories(pathElsewhere);
    fs::create_symlink(pathVersion / "launcher", pathElsewhere / "trader");

    const ProcessResult result =
        Run(pathElsewhere / "trader", {"--profile", "two words", ""}, {{"LX_APP_RESULT", "7"}}, pathElsewhere);

    ASSERT_TRUE(result.bExited);
    EXPECT_EQ(result.nExitStatus, 7);
    EXPECT_EQ(result.strStdout, "") << "the console is silenced";
    EXPECT_EQ(result.strStderr, "");

    const std::vector<Json::Value> vtCalls = ClientCalls();
    ASSERT_EQ(vtCalls.size(), 1u);
    EXPECT_EQ(vtCalls[0]["client_type"].asInt(), 120);
    EXPECT_EQ(vtCalls[0]["qt_qpa_platform"].asString(), "xcb");
    ASSERT_EQ(vtCalls[0]["argc"].asInt(), 4);
    EXPECT_EQ(vtCalls[0]["argv"][0].asString(), (pathElsewhere / "trader").string());
    EXPECT_EQ(vtCalls[0]["argv"][1].asString(), "--profile");
    EXPECT_EQ(vtCalls[0]["argv"][2].asString(), "two words");
    EXPECT_EQ(vtCalls[0]["argv"][3].asString(), "");

    const std::vector<LogRecord> vtLog = ParseLog(m_install.LogFile());
    EXPECT_EQ(Messages(vtLog),
              (std::vector<std::string>{"Init", "StartMainApp, ClientType: 120", "EndMainApp, result: 7"}));
    ASSERT_FALSE(vtLog.empty());
    EXPECT_EQ(vtLog[0].strFile, "main.cpp");
    EXPECT_FALSE(fs::exists(pathElsewhere / ".config")) << "nothing is written where the user stands";

    // A second run appends.
    ASSERT_EQ(Run(pathVersion / "launcher").nExitStatus, 0);
    EXPECT_EQ(Messages(ParseLog(m_install.LogFile())).size(), 6u);
}

TEST_F(LauncherProgramTest, StartsTheClientWhateverTheStateOfHome)
{
    const fs::path pathVersion = m_install.AddVersion(kszOwnVersionDir, MainApp::StandIn);
    WriteFile(m_install.Scratch("a-file"), "");

    const std::vector<std::optional<std::string>> vtHomes{std::nullopt, m_install.Scratch("a-file").string(), "/proc",
                                                          ""};
    for (const std::optional<std::string>& optHome : vtHomes) {
        SCOPED_TRACE(optHome.value_or("(unset)"));
        fs::remove(m_install.Scratch("app.record"));
        if (!optHome && IsRoot()) {
            continue; // the password database would name root's real home
        }
        const ProcessResult result = Run(pathVersion / "launcher", {}, {{"HOME", optHome}, {"LX_APP_RESULT", "3"}});
        ASSERT_TRUE(result.bExited) << "signal " << result.nSignal;
        EXPECT_EQ(result.nExitStatus, 3);
        EXPECT_EQ(ClientCalls().size(), 1u);
    }
}

TEST_F(LauncherProgramTest, ExceptionFromTheClientIsLoggedAndEndsWithStatus70)
{
    const fs::path pathVersion = m_install.AddVersion(kszOwnVersionDir, MainApp::StandIn);

    const ProcessResult result = Run(pathVersion / "launcher", {}, {{"LX_APP_THROW", "out of luck"}});

    ASSERT_TRUE(result.bExited) << "signal " << result.nSignal;
    EXPECT_EQ(result.nExitStatus, 70);
    const std::vector<std::string> vtMessages = Messages(ParseLog(m_install.LogFile()));
    ASSERT_FALSE(vtMessages.empty());
    EXPECT_EQ(vtMessages.back(), "Launch aborted by exception: out of luck");
}

TEST_F(LauncherProgramTest, FallsBackToTheHighestOlderLauncherWithoutTheUsersArguments)
{
    const fs::path pathOwn = m_install.AddVersion(kszOwnVersionDir, MainApp::None);
    m_install.AddVersion("16.24.0", MainApp::StandIn);            // higher: never chosen
    m_install.AddVersion("16.23.16000", MainApp::StandIn, false); // lost its launcher
    const fs::path pathChosen = m_install.AddVersion("16.22.100", MainApp::StandIn);
    m_install.AddVersion("16.22.99", MainApp::StandIn);

    const ProcessResult result = Run(pathOwn / "launcher", {"--user-arg"}, {{"LX_APP_RESULT", "9"}});

    ASSERT_TRUE(result.bExited);
    EXPECT_EQ(result.nExitStatus, 0);
    ASSERT_TRUE(WaitForLine(m_install.Scratch("app.record")));
    const std::vector<Json::Value> vtCalls = ClientCalls();
    ASSERT_EQ(vtCalls.size(), 1u);
    ASSERT_EQ(vtCalls[0]["argc"].asInt(), 1);
    EXPECT_EQ(vtCalls[0]["argv"][0].asString(), (pathChosen / "launcher").string());

    // Both launchers write to the same log; wait for the second to finish.
    std::vector<LogRecord> vtLog;
    PollUntil(
        [&] {
            vtLog = ParseLog(m_install.LogFile());
            return vtLog.size() >= 5;
        },
        5s);
    EXPECT_EQ(Messages(vtLog),
              (std::vector<std::string>{"Init", "Invoke Process: " + (pathChosen / "launcher").string(), "Init",
                                        "StartMainApp, ClientType: 120", "EndMainApp, result: 9"}));
    if (vtLog.size() == 5) {
        EXPECT_EQ(vtLog[1].strFile, "LXLaunchProcess.cpp");
        EXPECT_NE(vtLog[0].strPid, vtLog[2].strPid);
    }
}

// Every copy here is built with the same version, so each directory's
// launcher believes it is the newest: the chain must still only go down.
TEST_F(LauncherProgramTest, BrokenFallbackFallsFurtherDownButNeverBackUp)
{
    const fs::path pathOwn = m_install.AddVersion(kszOwnVersionDir, MainApp::NoEntry);
    const fs::path pathBroken = m_install.AddVersion("16.22.100", MainApp::NoEntry);
    const fs::path pathWorking = m_install.AddVersion("16.21.0", MainApp::StandIn);

    ASSERT_EQ(Run(pathOwn / "launcher").nExitStatus, 0);
    std::vector<std::string> vtMessages;
    PollUntil(
        [&] {
            vtMessages = Messages(ParseLog(m_install.LogFile()));
            return vtMessages.size() >= 7;
        },
        5s);
    EXPECT_EQ(vtMessages, (std::vector<std::string>{"Init", "Invoke Process: " + (pathBroken / "launcher").string(),
                                                    "Init", "Invoke Process: " + (pathWorking / "launcher").string(),
                                                    "Init", "StartMainApp, ClientType: 120", "EndMainApp, result: 0"}));

    // Only the broken lower version left: it must not start ours again.
    fs::remove_all(pathWorking);
    fs::remove(m_install.LogFile());
    ASSERT_EQ(Run(pathOwn / "launcher").nExitStatus, 0);
    usleep(300000);
    EXPECT_EQ(Messages(ParseLog(m_install.LogFile())),
              (std::vector<std::string>{"Init", "Invoke Process: " + (pathBroken / "launcher").string(), "Init"}));
}

// Started with no console at all, it takes /dev/null for both streams, and a
// fallback launcher inherits them.
TEST_F(LauncherProgramTest, WithoutAConsoleBothStreamsBecomeDevNullForTheFallbackToo)
{
    const fs::path pathOwn = m_install.AddVersion(kszOwnVersionDir, MainApp::None);
    const std::string strRecord = m_install.Scratch("streams").string();
    // Read through /proc from a command substitution, so that no redirection
    // stands in for the shell's own streams.
    WriteScript(m_install.AppRoot() / "16.22.9/launcher",
                "s=$(readlink /proc/$$/fd/1 /proc/$$/fd/2)\nprintf '%s\\n' \"$s\" > '" + strRecord + ".tmp'\n" +
                    "mv '" + strRecord + ".tmp' '" + strRecord + "'\n");

    const ProcessResult result = Run("/bin/sh", {"-c", "exec '" + (pathOwn / "launcher").string() + "' >&- 2>&-"});

    ASSERT_TRUE(result.bExited) << "signal " << result.nSignal;
    EXPECT_EQ(result.nExitStatus, 0);
    ASSERT_TRUE(WaitForLine(strRecord));
    EXPECT_EQ(ReadLines(strRecord), (std::vector<std::string>{"/dev/null", "/dev/null"}));
}

// Where /dev/null cannot be opened the console stays as it was, rather than
// closed and then taken over by the log file.
TEST_F(LauncherProgramTest, KeepsTheConsoleWhenDevNullCannotBeOpened)
{
    const fs::path pathOwn = m_install.AddVersion(kszOwnVersionDir, MainApp::None);
    const ProcessResult result = Run(
        "/usr/bin/unshare", {"--mount", "--fork", "/bin/sh", "-c",
                             "mount -t tmpfs none /dev || exit 99; exec '" + (pathOwn / "launcher").string() + "'"});
    if (result.nExitStatus == 99 || result.strStderr.rfind("unshare:", 0) == 0) {
        GTEST_SKIP() << "cannot hide /dev here: " << result.strStderr;
    }

    ASSERT_TRUE(result.bExited) << "signal " << result.nSignal;
    EXPECT_EQ(result.nExitStatus, 0);
    EXPECT_NE(result.strStderr.find("dlopen failed"), std::string::npos) << result.strStderr;
    EXPECT_EQ(Messages(ParseLog(m_install.LogFile())), std::vector<std::string>{"Init"});
}

TEST_F(LauncherProgramTest, CarriesOnlyOriginAsItsRunPath)
{
    const ProcessResult result = RunProcess({"/usr/bin/readelf", "-d", kPathLauncherExe.string()});
    ASSERT_EQ(result.nExitStatus, 0) << result.strStderr;
    EXPECT_NE(result.strStdout.find("(RPATH)              Library rpath: [$ORIGIN]"), std::string::npos)
        << result.strStdout;
    EXPECT_EQ(result.strStdout.find("RUNPATH"), std::string::npos);
}

// Without /proc the launcher finds itself from its program name: started as
// ./launcher from its own directory, everything is relative to ".".
TEST_F(LauncherProgramTest, FallsBackToTheProgramNameWithoutProc)
{
#ifdef LX_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizer runtime cannot start without /proc";
#endif
    const fs::path pathVersion = m_install.AddVersion(kszOwnVersionDir, MainApp::StandIn);
    const ProcessResult probe = RunProcess({"/usr/bin/unshare", "--mount", "--fork", "/bin/sh", "-c",
                                            "mount -t tmpfs none /proc && test ! -e /proc/self/exe"});
    if (!probe.bExited || probe.nExitStatus != 0) {
        GTEST_SKIP() << "cannot hide /proc here: " << probe.strStderr;
    }

    const ProcessResult result =
        Run("/usr/bin/unshare",
            {"--mount", "--fork", "/bin/sh", "-c", "mount -t tmpfs none /proc && exec ./launcher --from-cwd"},
            {{"LX_APP_RESULT", "5"}}, pathVersion);

    ASSERT_TRUE(result.bExited);
    EXPECT_EQ(result.nExitStatus, 5) << result.strStderr;
    const std::vector<Json::Value> vtCalls = ClientCalls();
    ASSERT_EQ(vtCalls.size(), 1u);
    EXPECT_EQ(vtCalls[0]["argv"][0].asString(), "./launcher");
}

} // namespace
