// The built launcher, run as a child process in a temporary installation.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "LauncherFixture.h"

namespace fs = std::filesystem;
using namespace lxtest;

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

#ifdef LX_TEST_SANITIZED
constexpr std::chrono::milliseconds kMsStartBound{5000};
#else
constexpr std::chrono::milliseconds kMsStartBound{1000};
#endif

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
        if ((!optHome || optHome->empty()) && IsRoot()) {
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
    for (int i = 0; i < 500 && vtLog.size() < 5; ++i) {
        usleep(10000);
        vtLog = ParseLog(m_install.LogFile());
    }
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
    for (int i = 0; i < 500 && vtMessages.size() < 7; ++i) {
        usleep(10000);
        vtMessages = Messages(ParseLog(m_install.LogFile()));
    }
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

// Each way the log's place can be unsafe (see Plant): the client starts at
// once, no file changes, byte for byte, and no new file gets a record.
TEST_F(LauncherProgramTest, StartsTheClientAtOnceAndWritesNothingThroughAnUnsafeLog)
{
    const fs::path pathVersion = m_install.AddVersion(kszOwnVersionDir, MainApp::StandIn);
    const fs::path pathVictim = m_install.Scratch("victim");
    for (const std::string strCase :
         {"fifo:Launcher.log", "link:Launcher.log", "full:Launcher.log link:Launcher.1.log",
          "link:Launcher.log dir:Launcher.2.log/x dir:Launcher.3.log/x",
          "full:Launcher.log dir:Launcher.2.log/x dir:Launcher.3.log/x", "full:Launcher.log lock:Launcher.log.lock",
          "old:Launcher.log open:.", "open:~ nobody dir:Launcher.2.log/x dir:Launcher.3.log/x link:Launcher.log"}) {
        SCOPED_TRACE(strCase);
        if (strCase.find("nobody") != std::string::npos && !OtherUser()) {
            continue; // acting as another user takes root
        }
        fs::remove_all(m_install.Home());
        fs::remove(m_install.Scratch("app.record"));
        std::vector<lx::CLXFileDescriptor> vtHeld = Plant(m_install.Home(), pathVictim, strCase);
        const auto mapBefore = Snapshot({m_install.Home(), pathVictim});

        const auto timeStart = std::chrono::steady_clock::now();
        const ProcessResult result = Run(pathVersion / "launcher");
        // Only a launcher stopped while holding the lock costs its patience.
        EXPECT_LT(std::chrono::steady_clock::now() - timeStart, kMsStartBound * (vtHeld.empty() ? 1 : 2));
        EXPECT_EQ(result.nExitStatus, 0) << "signal " << result.nSignal;
        EXPECT_EQ(ClientCalls().size(), 1u);
        for (const auto& [path, strContent] : Snapshot({m_install.Home(), pathVictim})) {
            EXPECT_TRUE(mapBefore.contains(path) ? mapBefore.at(path) == strContent : strContent.empty()) << path;
        }
    }
}

TEST_F(LauncherProgramTest, LogHoldsTheStartWhenTheClientDiesAbruptly)
{
    const fs::path pathVersion = m_install.AddVersion(kszOwnVersionDir, MainApp::Scripted);
    for (const char* szEnd : {"segv", "term", "kill", "exit"}) {
        SCOPED_TRACE(szEnd);
        fs::remove(m_install.LogFile());
        const ProcessResult result = Run(pathVersion / "launcher", {}, {{"LX_TEST_APP_END", szEnd}});
        EXPECT_FALSE(result.bExited && result.nExitStatus == 0);
        EXPECT_EQ(Messages(ParseLog(m_install.LogFile())),
                  (std::vector<std::string>{"Init", "StartMainApp, ClientType: 120"}));
    }
}

TEST_F(LauncherProgramTest, ClosedStandardDescriptorsNeverBecomeTheLog)
{
    const fs::path pathVersion = m_install.AddVersion(kszOwnVersionDir, MainApp::Scripted);
    const fs::path pathFds = m_install.Scratch("fds");
    for (const std::string strClose : {"0<&-", "0<&- 1>&- 2>&-"}) {
        SCOPED_TRACE(strClose);
        fs::remove(pathFds);
        fs::remove(m_install.LogFile());
        const ProcessResult result =
            Run("/bin/sh", {"-c", "exec \"$0\" " + strClose, (pathVersion / "launcher").string()},
                {{"LX_TEST_APP_FDS", pathFds.string()}});
        EXPECT_EQ(result.nExitStatus, 0);
        EXPECT_EQ(ReadLines(pathFds), std::vector<std::string>(3, "/dev/null"));
        EXPECT_EQ(Messages(ParseLog(m_install.LogFile())).size(), 3u);
    }
}

// Launchers that overlap (their client waits on a barrier) on a log about to
// fill: one rotation, every record exactly once, the history kept.
TEST_F(LauncherProgramTest, LaunchersStartedTogetherRotateOnceAndLoseNothing)
{
    constexpr size_t kuLaunchers = 8;
    const fs::path pathVersion = m_install.AddVersion(kszOwnVersionDir, MainApp::Scripted);
    const fs::path pathLogs = m_install.LogFile().parent_path();
    const fs::path pathBarrier = m_install.Scratch("barrier");
    const fs::path pathReady = m_install.Scratch("ready");
    for (const uint64_t u64Room : {10u, 400u}) { // left below the limit
        SCOPED_TRACE(u64Room);
        fs::remove_all(m_install.Home());
        fs::remove(pathReady);
        const std::string strHistory = std::string(kU64LogLimit - u64Room - 1, 'h') + "\n";
        WriteFile(m_install.LogFile(), strHistory);
        for (const char* szOld : {"1", "2", "3"}) {
            WriteFile(pathLogs / ("Launcher." + std::string(szOld) + ".log"), szOld);
        }
        ASSERT_TRUE(fs::exists(pathBarrier) || ::mkfifo(pathBarrier.c_str(), 0600) == 0);

        std::vector<std::future<ProcessResult>> vtRuns;
        for (size_t i = 0; i < kuLaunchers; ++i) {
            vtRuns.push_back(std::async(std::launch::async, [&] {
                return Run(pathVersion / "launcher", {},
                           {{"LX_TEST_APP_BARRIER", pathBarrier.string()}, {"LX_TEST_APP_READY", pathReady.string()}});
            }));
        }
        for (int i = 0; i < 2000 && ReadLines(pathReady).size() < kuLaunchers; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(ReadLines(pathReady).size(), kuLaunchers);
        const lx::CLXFileDescriptor fdRelease(::open(pathBarrier.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        EXPECT_EQ(::write(fdRelease.Get(), "x", 1), 1);
        for (std::future<ProcessResult>& run : vtRuns) {
            EXPECT_EQ(run.get().nExitStatus, 0);
        }

        const std::string strOne = ReadFile(pathLogs / "Launcher.1.log");
        ASSERT_TRUE(strOne.starts_with(strHistory)) << "history kept whole";
        EXPECT_LE(strOne.size(), kU64LogLimit + kuLaunchers * 200) << "one record over per process at most";
        EXPECT_LE(fs::file_size(m_install.LogFile()), kU64LogLimit);
        EXPECT_EQ(ReadFile(pathLogs / "Launcher.2.log") + ReadFile(pathLogs / "Launcher.3.log"), "12");
        WriteFile(m_install.Scratch("tail"), strOne.substr(strHistory.size()) + ReadFile(m_install.LogFile()));
        std::map<std::string, std::vector<std::string>> mapMessagesByPid;
        for (const LogRecord& record : ParseLog(m_install.Scratch("tail"))) {
            mapMessagesByPid[record.strPid].push_back(record.strMessage);
        }
        EXPECT_EQ(mapMessagesByPid.size(), kuLaunchers);
        for (const auto& [strPid, vtMessages] : mapMessagesByPid) {
            EXPECT_EQ(vtMessages,
                      (std::vector<std::string>{"Init", "StartMainApp, ClientType: 120", "EndMainApp, result: 0"}));
        }
    }
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
