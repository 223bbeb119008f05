// The built launcher, run as a child process in a temporary installation.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <regex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "LXHealth.h"
#include "LXLauncherLog.h"
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

std::vector<std::string> MessagesOf(const std::vector<LogRecord>& vtRecords, const std::string& strPid)
{
    std::vector<std::string> vtMessages;
    for (const LogRecord& record : vtRecords) {
        if (record.strPid == strPid) {
            vtMessages.push_back(record.strMessage);
        }
    }
    return vtMessages;
}

// The pid of the first record whose message starts with the text, or empty.
std::string PidOf(const std::vector<LogRecord>& vtRecords, const std::string& strPrefix)
{
    for (const LogRecord& record : vtRecords) {
        if (record.strMessage.rfind(strPrefix, 0) == 0) {
            return record.strPid;
        }
    }
    return {};
}

// The pid a "Fallback started: <path> (pid N)" message names, or empty.
std::string StartedPid(const std::vector<std::string>& vtMessages)
{
    const std::regex kStarted(R"(Fallback started: .* \(pid (\d+)\))");
    std::smatch match;
    for (const std::string& strMessage : vtMessages) {
        if (std::regex_match(strMessage, match, kStarted)) {
            return match[1];
        }
    }
    return {};
}

// Each expected message equals the actual one, or, ending in "*", starts it.
void ExpectMessages(const std::vector<std::string>& vtActual, const std::vector<std::string>& vtExpected)
{
    bool bMatch = vtActual.size() == vtExpected.size();
    for (size_t i = 0; bMatch && i < vtActual.size(); ++i) {
        const std::string& strWanted = vtExpected[i];
        bMatch = !strWanted.empty() && strWanted.back() == '*'
                     ? vtActual[i].rfind(strWanted.substr(0, strWanted.size() - 1), 0) == 0
                     : vtActual[i] == strWanted;
    }
    EXPECT_TRUE(bMatch) << testing::PrintToString(vtActual) << "\nexpected\n" << testing::PrintToString(vtExpected);
}

#ifdef LX_TEST_SANITIZED
constexpr std::chrono::milliseconds kDurationStartBound{5000};
#else
constexpr std::chrono::milliseconds kDurationStartBound{1000};
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
    EXPECT_EQ(ProbeDescriptors(vtCalls[0]).at(2), 2);
    EXPECT_FALSE(HoldsAPipe(vtCalls[0])) << "the launcher's terminal reached the client";

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

// A newer launcher that cannot start does not hide a working older one.
TEST_F(LauncherProgramTest, FallsBackToTheHighestOlderLauncherThatStartsWithoutTheUsersArgumentsOrTheCeiling)
{
    const fs::path pathOwn = m_install.AddVersion(kszOwnVersionDir, MainApp::None);
    m_install.AddVersion("16.24.0", MainApp::StandIn);            // higher: never chosen
    m_install.AddVersion("16.23.16000", MainApp::StandIn, false); // lost its launcher
    const std::string strBroken = (m_install.AppRoot() / "16.22.200/launcher").string();
    WriteScript(strBroken, "");
    WriteFile(strBroken, "#!/nonexistent/interpreter\n");
    const fs::path pathChosen = m_install.AddVersion("16.22.100", MainApp::StandIn);
    m_install.AddVersion("16.22.99", MainApp::StandIn);
    const std::string strChosen = (pathChosen / "launcher").string();

    const ProcessResult result = Run(pathOwn / "launcher", {"--user-arg"}, {{"LX_APP_RESULT", "9"}});

    ASSERT_TRUE(result.bExited);
    EXPECT_EQ(result.nExitStatus, 0);
    EXPECT_EQ(result.strStderr, "") << "a started fallback is not a failure";
    ASSERT_TRUE(WaitForLine(m_install.Scratch("app.record")));
    const std::vector<Json::Value> vtCalls = ClientCalls();
    ASSERT_EQ(vtCalls.size(), 1u);
    ASSERT_EQ(vtCalls[0]["argc"].asInt(), 1);
    EXPECT_EQ(vtCalls[0]["argv"][0].asString(), strChosen);
    EXPECT_TRUE(vtCalls[0]["fallback_below"].isNull()) << "the started launcher keeps its ceiling from the client";
    EXPECT_FALSE(HoldsAPipe(vtCalls[0])) << "the first launcher's terminal reached the client";

    // Both launchers write to the same log, each in its own order.
    std::vector<LogRecord> vtLog;
    std::string strSecondPid;
    PollUntil(
        [&] {
            vtLog = ParseLog(m_install.LogFile());
            strSecondPid = StartedPid(MessagesOf(vtLog, PidOf(vtLog, "Fallback started: ")));
            return !strSecondPid.empty() && MessagesOf(vtLog, strSecondPid).size() >= 3;
        },
        5s);
    ExpectMessages(MessagesOf(vtLog, PidOf(vtLog, "Fallback started: ")),
                   {"Init", "Main application library not found: " + pathOwn.string() + "/libLxAppStartProcess.so",
                    "Versions found: 16.24.0, 16.23.16808, 16.23.16000, 16.22.200, 16.22.100, 16.22.99",
                    "Fallback chosen: 16.22.200 (" + strBroken + ")", "Invoke Process: " + strBroken,
                    "Could not start " + strBroken + ": No such file or directory",
                    "Fallback chosen: 16.22.100 (" + strChosen + ")", "Invoke Process: " + strChosen,
                    "Fallback started: " + strChosen + " (pid " + strSecondPid + ")",
                    "Fallback reported its client started: " + strChosen + " (pid " + strSecondPid + ")"});
    ExpectMessages(MessagesOf(vtLog, strSecondPid), {"Init", "StartMainApp, ClientType: 120", "EndMainApp, result: 9"});
}

// Every copy here is built with the same version, so each directory's
// launcher believes it is the newest: the chain must still only go down.
TEST_F(LauncherProgramTest, BrokenFallbackNeverFallsBackUp)
{
    const fs::path pathOwn = m_install.AddVersion(kszOwnVersionDir, MainApp::NoEntry);
    m_install.AddVersion("16.22.100", MainApp::NoEntry);

    // The broken lower version must not start ours again. Wait for its last
    // record, then for it to end, so nothing more can come.
    std::vector<LogRecord> vtLog;
    ASSERT_EQ(Run(pathOwn / "launcher").nExitStatus, 126) << "the chain's outcome";
    std::string strSecondPid;
    PollUntil(
        [&] {
            vtLog = ParseLog(m_install.LogFile());
            strSecondPid = StartedPid(MessagesOf(vtLog, PidOf(vtLog, "Fallback started: ")));
            const std::vector<std::string> vtSecond = MessagesOf(vtLog, strSecondPid);
            return !vtSecond.empty() && vtSecond.back().rfind("No client started", 0) == 0;
        },
        5s);
    ASSERT_FALSE(strSecondPid.empty()) << testing::PrintToString(Messages(vtLog));
    EXPECT_TRUE(PollUntil([&] { return ProcessEnded(std::stoi(strSecondPid)); }, 5s));
    vtLog = ParseLog(m_install.LogFile());
    ExpectMessages(MessagesOf(vtLog, PidOf(vtLog, "Fallback started: ")),
                   {"Init", "Main application library has no entry StartMainApp: *",
                    "Versions found: 16.23.16808, 16.22.100", "Fallback chosen: 16.22.100 (*", "Invoke Process: *",
                    "Fallback started: *", "Fallback ended without a client, exit status 126: *"});
    ExpectMessages(MessagesOf(vtLog, strSecondPid),
                   {"Init", "Main application library has no entry StartMainApp: *",
                    "Versions found: 16.23.16808, 16.22.100", "No version below 16.22.100.0 to fall back to",
                    "No client started, exit status 126: main application library unusable"});
    EXPECT_EQ(vtLog.size(), 7u + 5u) << "a third launcher ran";
}

// A library without the entry whose code may still run (a thread it
// started, a SIGCHLD handler it installed, met when a fallback's exec fails)
// must stay loaded: every run ends by exiting, never by a signal.
TEST_F(LauncherProgramTest, LibraryWithoutEntryStaysLoadedWhileItsCodeMayRun)
{
    enum class Older { None, Probe, Broken };
    const struct {
        const char* szName;
        MainApp enApp;
        Older enOlder;
        int nRuns;
        int nExitStatus;
    } arrCases[] = {
        {"thread, nothing older", MainApp::ThreadNoEntry, Older::None, 40, 126},
        {"thread, fallback started", MainApp::ThreadNoEntry, Older::Probe, 40, 0},
        {"SIGCHLD handler, fallback exec fails", MainApp::Meddling, Older::Broken, 20, 126},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
        Installation install;
        const fs::path pathOwn = install.AddVersion(kszOwnVersionDir, testCase.enApp);
        if (testCase.enOlder == Older::Probe) {
            install.AddProbeVersion("16.22.0");
        } else if (testCase.enOlder == Older::Broken) {
            WriteFile(install.AppRoot() / "16.22.0/launcher", "not executable");
        }
        int nSignalled = 0;
        int nOtherStatus = 0;
        for (int nRun = 0; nRun < testCase.nRuns; ++nRun) {
            const ProcessResult result =
                Run(pathOwn / "launcher", {},
                    {{"HOME", install.Home().string()}, {kszProbeRecordEnv, install.ProbeRecord().string()}});
            nSignalled += result.bExited ? 0 : 1;
            nOtherStatus += result.bExited && result.nExitStatus != testCase.nExitStatus ? 1 : 0;
        }
        EXPECT_EQ(nSignalled, 0) << "of " << testCase.nRuns << " runs";
        EXPECT_EQ(nOtherStatus, 0);
    }
}

// Versions laid out for the launch tables below; "{own}" stands for the own
// version directory and "{app}" for the folder holding the versions, as the
// log writes them.
enum class Sibling { Directory, NotExecutable, MissingInterpreter, Probe };

void AddSibling(Installation& install, const std::string& strName, Sibling enKind)
{
    const fs::path pathLauncher = install.AppRoot() / strName / "launcher";
    switch (enKind) {
    case Sibling::Directory:
        fs::create_directories(pathLauncher);
        break;
    case Sibling::NotExecutable:
        WriteFile(pathLauncher, "#!/bin/sh\n");
        break;
    case Sibling::MissingInterpreter:
        WriteScript(pathLauncher, "");
        WriteFile(pathLauncher, "#!/nonexistent/interpreter\n");
        break;
    case Sibling::Probe:
        install.AddProbeVersion(strName);
        break;
    }
}

std::vector<std::string> Expand(std::vector<std::string> vtTexts, const std::string& strApp)
{
    for (std::string& strText : vtTexts) {
        for (size_t uPos; (uPos = strText.find("{own}")) != std::string::npos;) {
            strText.replace(uPos, 5, strApp + "/" + kszOwnVersionDir);
        }
        for (size_t uPos; (uPos = strText.find("{app}")) != std::string::npos;) {
            strText.replace(uPos, 5, strApp);
        }
    }
    return vtTexts;
}

// Whenever no client runs: the status says why (127: no library where the
// launcher looked; 126: one unusable, or no fallback could start), the log
// tells each step and one line goes to the terminal. Control characters in
// paths and loader messages are escaped.
TEST_F(LauncherProgramTest, NoClientRunsExplainedByStatusLogAndTerminal)
{
    const std::string kLib = "{own}/libLxAppStartProcess.so";
    const struct {
        const char* szName;
        std::string strAppDirName;
        std::string strAppInLog; // the folder as the log writes it
        MainApp enApp;
        std::vector<std::pair<std::string, Sibling>> vtSiblings;
        int nExitStatus;
        std::vector<std::string> vtLog;
    } arrCases[] = {
        {"no library anywhere",
         "app",
         "app",
         MainApp::None,
         {},
         127,
         {"Init", "Main application library not found: " + kLib, "Versions found: 16.23.16808",
          "No version below 16.23.16808.7081625 to fall back to",
          "No client started, exit status 127: no main application library found"}},
        {"control characters in the path",
         "odd\ndir\x1b[0m",
         "odd\\ndir\\x1b[0m",
         MainApp::None,
         {},
         127,
         {"Init", "Main application library not found: " + kLib, "Versions found: 16.23.16808",
          "No version below 16.23.16808.7081625 to fall back to",
          "No client started, exit status 127: no main application library found"}},
        {"library without the entry, nothing older",
         "app",
         "app",
         MainApp::NoEntry,
         {{"16.24.0", Sibling::Probe}},
         126,
         {"Init", "Main application library has no entry StartMainApp: " + kLib, "Versions found: 16.24.0, 16.23.16808",
          "No version below 16.23.16808.7081625 to fall back to",
          "No client started, exit status 126: main application library unusable"}},
        {"not an ELF object",
         "app",
         "app",
         MainApp::NotElf,
         {},
         126,
         {"Init", "Main application library could not be loaded: " + kLib + ": " + kLib + ": *", "Versions found: *",
          "No version below *", "No client started, exit status 126: main application library unusable"}},
        {"a dependency is missing",
         "app",
         "app",
         MainApp::NeedsGone,
         {},
         126,
         {"Init",
          "Main application library could not be loaded: " + kLib +
              ": libLxTestGone.so: cannot open shared object file: No such file or directory",
          "Versions found: *", "No version below *",
          "No client started, exit status 126: main application library unusable"}},
        {"every older launcher fails to start",
         "app",
         "app",
         MainApp::None,
         {{"16.22.3", Sibling::Directory},
          {"16.22.2", Sibling::NotExecutable},
          {"16.22.1", Sibling::MissingInterpreter}},
         126,
         {"Init", "Main application library not found: " + kLib,
          "Versions found: 16.23.16808, 16.22.3, 16.22.2, 16.22.1", "Fallback chosen: 16.22.3 ({app}/16.22.3/launcher)",
          "Invoke Process: {app}/16.22.3/launcher", "Could not start {app}/16.22.3/launcher: Permission denied",
          "Fallback chosen: 16.22.2 ({app}/16.22.2/launcher)", "Invoke Process: {app}/16.22.2/launcher",
          "Could not start {app}/16.22.2/launcher: Permission denied",
          "Fallback chosen: 16.22.1 ({app}/16.22.1/launcher)", "Invoke Process: {app}/16.22.1/launcher",
          "Could not start {app}/16.22.1/launcher: No such file or directory",
          "No client started, exit status 126: no fallback launcher could be started"}},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
        Installation install(testCase.strAppDirName);
        const fs::path pathOwn = install.AddVersion(kszOwnVersionDir, testCase.enApp);
        for (const auto& [strName, enKind] : testCase.vtSiblings) {
            AddSibling(install, strName, enKind);
        }

        const ProcessResult result = Run(pathOwn / "launcher", {}, {{"HOME", install.Home().string()}});

        ASSERT_TRUE(result.bExited) << "signal " << result.nSignal;
        EXPECT_EQ(result.nExitStatus, testCase.nExitStatus);
        const std::string strAppInLog = install.AppRoot().parent_path().string() + "/" + testCase.strAppInLog;
        ExpectMessages(Messages(ParseLog(install.LogFile())), Expand(testCase.vtLog, strAppInLog));
        const std::string strReason = testCase.vtLog.back().substr(testCase.vtLog.back().find(": ") + 2);
        EXPECT_EQ(result.strStderr, "launcher: the client could not be started: " + strReason + "; see " +
                                        install.LogFile().string() + "\n");
        EXPECT_EQ(result.strStdout, "");
    }
}

// The inherited ceiling is read once and removed before any library loads;
// text that is not a version is logged and ignored, never read as 0.0.0.0.
TEST_F(LauncherProgramTest, InheritedCeilingCapsTheChoiceAndReachesNeitherClientNorItsChildren)
{
    const struct {
        const char* szCeiling;
        const char* szStarted; // nullptr: nothing below the ceiling
        const char* szLogLine; // the line the ceiling adds, if any
    } arrCases[] = {
        {"16.23.0.0", "16.22.0", nullptr},
        {"16.22.0.0", nullptr, "No version below 16.22.0.0 to fall back to"},
        {"garbage\x1b", "16.22.0", "Ignoring LX_LAUNCHER_FALLBACK_BELOW: not a version: garbage\\x1b"},
        {"16.22", "16.22.0", "Ignoring LX_LAUNCHER_FALLBACK_BELOW: not a version: 16.22"},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szCeiling);
        Installation install;
        const fs::path pathOwn = install.AddVersion(kszOwnVersionDir, MainApp::None);
        AddSibling(install, "16.22.0", Sibling::Probe);

        const ProcessResult result = Run(pathOwn / "launcher", {},
                                         {{"HOME", install.Home().string()},
                                          {kszProbeRecordEnv, install.ProbeRecord().string()},
                                          {"LX_LAUNCHER_FALLBACK_BELOW", testCase.szCeiling}});

        EXPECT_EQ(result.nExitStatus, testCase.szStarted != nullptr ? 0 : 127);
        if (testCase.szStarted != nullptr) {
            const std::vector<Json::Value> vtProbes = WaitForProbeRecords(install.ProbeRecord());
            ASSERT_EQ(vtProbes.size(), 1u);
            EXPECT_EQ(vtProbes[0]["fallback_below"].asString(), std::string(testCase.szStarted) + ".0");
        }
        if (testCase.szLogLine != nullptr) {
            const std::vector<std::string> vtLog = Messages(ParseLog(install.LogFile()));
            EXPECT_NE(std::find(vtLog.begin(), vtLog.end(), testCase.szLogLine), vtLog.end())
                << testing::PrintToString(vtLog);
        }
    }

    // A client run in process never sees it.
    const fs::path pathVersion = m_install.AddVersion(kszOwnVersionDir, MainApp::StandIn);
    ASSERT_EQ(Run(pathVersion / "launcher", {}, {{"LX_LAUNCHER_FALLBACK_BELOW", "16.22.0.0"}}).nExitStatus, 0);
    ASSERT_EQ(ClientCalls().size(), 1u);
    EXPECT_TRUE(ClientCalls()[0]["fallback_below"].isNull());
}

// The started launcher inherits nothing from a library that loaded without
// its entry: the user's console (not the /dev/null put there for the own
// client) and the report pipe at 3 only (also where close_range fails, as
// before Linux 5.11 or under a seccomp filter), every signal at its default
// and none blocked.
TEST_F(LauncherProgramTest, StartedLauncherGetsTheConsoleTheReportPipeAndDefaultSignalsOnly)
{
    for (const bool bWithoutCloseRange : {false, true}) {
        SCOPED_TRACE(bWithoutCloseRange ? "close_range fails" : "close_range works");
        Installation install;
        const fs::path pathOwn = install.AddVersion(kszOwnVersionDir, MainApp::Meddling);
        AddSibling(install, "16.22.0", Sibling::Probe);
        std::vector<std::string> vtArgs;
        fs::path pathProgram = pathOwn / "launcher";
        if (bWithoutCloseRange) {
            vtArgs = {kszWithoutCloseRangeFlag, pathProgram.string()};
            pathProgram = TestProgramPath();
        }

        const ProcessResult result =
            Run(pathProgram, vtArgs,
                {{"HOME", install.Home().string()}, {kszProbeRecordEnv, install.ProbeRecord().string()}});

        if (result.nExitStatus == kNWrapperUnsupported) {
            GTEST_SKIP() << "no seccomp filter for this architecture";
        }
        ASSERT_EQ(result.nExitStatus, 0) << result.strStderr;
        const std::vector<Json::Value> vtProbes = WaitForProbeRecords(install.ProbeRecord());
        ASSERT_EQ(vtProbes.size(), 1u);
        EXPECT_EQ(vtProbes[0]["argv"][0].asString(), (install.AppRoot() / "16.22.0/launcher").string());
        EXPECT_EQ(ProbeDescriptors(vtProbes[0]), (std::vector<int>{0, 1, 2, 3}));
        EXPECT_EQ(vtProbes[0]["ready_fd"].asString(), "3");
        EXPECT_EQ(vtProbes[0]["fds"]["3"].asString().rfind("pipe:", 0), 0u);
        EXPECT_EQ(vtProbes[0]["fds"]["2"].asString().rfind("pipe:", 0), 0u) << "the test's, not /dev/null";
        EXPECT_FALSE(HoldsAPipe(vtProbes[0])) << "the launcher's kept console reached the started launcher";
        EXPECT_EQ(vtProbes[0]["ignored"], Json::Value(Json::arrayValue));
        EXPECT_EQ(vtProbes[0]["blocked"], Json::Value(Json::arrayValue));
    }
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
    EXPECT_EQ(result.nExitStatus, 127);
    // The terminal line, and nothing of the log's, on the console.
    EXPECT_EQ(result.strStderr, "launcher: the client could not be started: no main application library found; see " +
                                    m_install.LogFile().string() + "\n");
    const std::vector<std::string> vtLog = Messages(ParseLog(m_install.LogFile()));
    ASSERT_EQ(vtLog.size(), 5u);
    EXPECT_EQ(vtLog.back(), "No client started, exit status 127: no main application library found");
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
        EXPECT_LT(std::chrono::steady_clock::now() - timeStart, kDurationStartBound * (vtHeld.empty() ? 1 : 2));
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
        // Each death is a failed start; forgotten, so none is held back.
        fs::remove_all(m_install.Home() / ".config/orvalo/2.0/Health");
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
    constexpr size_t kULaunchers = 8;
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
        for (size_t i = 0; i < kULaunchers; ++i) {
            vtRuns.push_back(std::async(std::launch::async, [&] {
                return Run(pathVersion / "launcher", {},
                           {{"LX_TEST_APP_BARRIER", pathBarrier.string()}, {"LX_TEST_APP_READY", pathReady.string()}});
            }));
        }
        for (int i = 0; i < 2000 && ReadLines(pathReady).size() < kULaunchers; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(ReadLines(pathReady).size(), kULaunchers);
        const lx::CLXFileDescriptor fdRelease(::open(pathBarrier.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
        EXPECT_EQ(::write(fdRelease.Get(), "x", 1), 1);
        for (std::future<ProcessResult>& run : vtRuns) {
            EXPECT_EQ(run.get().nExitStatus, 0);
        }

        const std::string strOne = ReadFile(pathLogs / "Launcher.1.log");
        ASSERT_TRUE(strOne.starts_with(strHistory)) << "history kept whole";
        EXPECT_LE(strOne.size(), kU64LogLimit + kULaunchers * 200) << "one record over per process at most";
        EXPECT_LE(fs::file_size(m_install.LogFile()), kU64LogLimit);
        EXPECT_EQ(ReadFile(pathLogs / "Launcher.2.log") + ReadFile(pathLogs / "Launcher.3.log"), "12");
        WriteFile(m_install.Scratch("tail"), strOne.substr(strHistory.size()) + ReadFile(m_install.LogFile()));
        std::map<std::string, std::vector<std::string>> mapMessagesByPid;
        for (const LogRecord& record : ParseLog(m_install.Scratch("tail"))) {
            mapMessagesByPid[record.strPid].push_back(record.strMessage);
        }
        EXPECT_EQ(mapMessagesByPid.size(), kULaunchers);
        for (const auto& [strPid, vtMessages] : mapMessagesByPid) {
            EXPECT_EQ(vtMessages,
                      (std::vector<std::string>{"Init", "StartMainApp, ClientType: 120", "EndMainApp, result: 0"}));
        }
    }
}

// Hostile surroundings: each case's bash script starts the launcher "$L"
// (of version directory "$V", logging to "$LOG") in them, over a log already
// holding u64History bytes. Whatever they do, the script ends with the
// status the log gives, the client finds SIGPIPE and SIGXFSZ as the script
// left them, and the records after the history are whole lines, but for one
// cut short by the surroundings.
TEST_F(LauncherProgramTest, EnvironmentFaultsNeitherKillTheLauncherNorBreakItsLog)
{
    constexpr uint64_t kU64MiB = 1024 * 1024;
    const std::string strWidowedPipe = "exec 5> >(:); wait $!; "; // fd 5: a pipe nobody reads
    const std::vector<std::string> vtRun{"Init", "StartMainApp, ClientType: 120", "EndMainApp, result: 0"};
    const std::string strNoProc = "exec unshare --mount --fork bash -c 'mount -t tmpfs none /proc && ";
    const std::string strOlderCopy = "cd $V/.. && cp -a $V 1.0.0 && "; // a working version below the own
    const std::vector<std::string> vtNoClient{"Init", "Main application library not found: *",
                                              "Versions found: 16.23.16808", "No version below *",
                                              "No client started, exit status 127: no main application library found"};
    const struct {
        const char* szName;
        MainApp enApp;
        uint64_t u64History;
        std::string strScript;
        int nExitStatus;
        std::string strSignals; // as the client found them, one run after another
        bool bCut;              // the first line after the history is a record cut short
        std::vector<std::string> vtRecords;
    } arrCases[] = {
        {"file-size limit below the log's size",
         MainApp::Scripted,
         2 * kU64MiB,
         "trap '' PIPE; ulimit -f 1024; exec \"$L\"",
         0,
         "PIPE ignored\nXFSZ default\n",
         false,
         {}},
        {"file-size limit, no client", MainApp::None, 2 * kU64MiB, "ulimit -f 1024; exec \"$L\"", 127, "", false, {}},
        {"disk full mid-record, room again at the next launch", MainApp::Scripted, kU64MiB - 20,
         "(ulimit -f 1024; exec \"$L\") && exec \"$L\"", 0, "PIPE default\nXFSZ default\nPIPE default\nXFSZ default\n",
         true, vtRun},
        {"terminal line to a pipe nobody reads", MainApp::None, 0, strWidowedPipe + "exec \"$L\" 2>&5", 127, "", false,
         vtNoClient},
        {"no /proc, started through PATH", MainApp::Scripted, 0, strNoProc + "cd / && PATH=$V exec launcher'", 0,
         "PIPE default\nXFSZ default\n", false, vtRun},
        {"no /proc, found only in a relative PATH entry", MainApp::Scripted, 0,
         strNoProc + "cd $V && PATH=:/none exec launcher'", 127, "", false,
         {"Init", "Launcher location unknown, nothing loaded or started from it: launcher not found in *",
          "Versions found: none", "No version below *", vtNoClient.back()}},
        {"the library a FIFO", MainApp::None, 0, "mkfifo $V/$LIB && exec timeout 20 \"$L\"", 126, "", false,
         {"Init", "Main application library could not be loaded: *", "Versions found: 16.23.16808",
          "No version below *", "No client started, exit status 126: *"}},
        {"400 launchers execve refuses, then a working one, as a user under ulimit -u 300", MainApp::Scripted, 0,
         strOlderCopy + "rm $V/$LIB && mkdir 16.22.{1..400} && for d in 16.22.*; do echo x >$d/launcher; done && " +
             "chmod +x 16.22.*/launcher && chmod 755 .. && : >$S && chmod 666 $S && " +
             "exec setpriv --reuid=daemon --regid=daemon --clear-groups bash -c 'ulimit -u 300 && exec \"$L\"'",
         0, "PIPE default\nXFSZ default\n", false, {}},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
#ifdef LX_TEST_SANITIZED
        if (testCase.strScript.find("/proc") != std::string::npos) {
            continue; // the sanitizer runtime cannot start without /proc
        }
#endif
        Installation install;
        const fs::path pathOwn = install.AddVersion(kszOwnVersionDir, testCase.enApp);
        const std::string strHistory = testCase.u64History == 0 ? "" : std::string(testCase.u64History - 1, 'h') + "\n";
        WriteFile(install.LogFile(), strHistory);
        const fs::path pathSignals = install.Scratch("signals");

        const ProcessResult result = Run("/bin/bash", {"-c", testCase.strScript},
                                         {{"HOME", install.Home().string()},
                                          {"L", (pathOwn / "launcher").string()},
                                          {"V", pathOwn.string()},
                                          {"LIB", kszMainAppLibrary},
                                          {"S", pathSignals.string()},
                                          {"LOG", install.LogFile().string()},
                                          {"LX_TEST_APP_SIGNALS", pathSignals.string()}});

        EXPECT_EQ(result.nExitStatus, testCase.nExitStatus) << result.strStderr;
        // A started fallback's client may report after its starter has
        // stopped waiting for it, on a loaded machine.
        PollUntil([&] { return ReadFile(pathSignals).size() >= testCase.strSignals.size(); }, 10s);
        EXPECT_EQ(ReadFile(pathSignals), testCase.strSignals);
        std::string strAfter = ReadFile(install.LogFile());
        ASSERT_TRUE(strAfter.starts_with(strHistory)) << "history kept";
        strAfter.erase(0, strHistory.size());
        if (testCase.bCut) {
            const std::string strCut = strAfter.substr(0, strAfter.find('\n'));
            EXPECT_TRUE(strCut.starts_with("[info] [") && !std::regex_match(strCut, kLogLine)) << strCut;
            strAfter.erase(0, strCut.size() + 1);
        }
        WriteFile(install.Scratch("after"), strAfter);
        ExpectMessages(Messages(ParseLog(install.Scratch("after"))), testCase.vtRecords);
    }
}

// An ordinary user's home as dotfile managers and umask 002 leave it, made
// by bash scripts in it: first as that user (umask 002), then as root, with
// "$OTHER" another user. The launcher, run as that user, keeps its log or
// refuses it; the doctor's check says the same.
TEST_F(LauncherProgramTest, LogLocationsOfAnOrdinaryUser)
{
    const std::optional<UserIds> optUser = PrivateGroupUser();
    if (!optUser || !OtherUser()) {
        GTEST_SKIP() << "acting as other users takes root and the users daemon and nobody";
    }
    using enum lx::LogFileError;
    const struct {
        const char* szName;
        std::string strAsUser;
        std::string strAsRoot;
        std::error_code ecRefused;
    } arrCases[] = {
        {"~/.config a link into home", "mkdir -p dots/config && ln -s dots/config .config", "", {}},
        {"~/.config/orvalo a link", "mkdir -p .config x/orvalo && ln -s ../x/orvalo .config/orvalo", "", {}},
        {"~/.config 0775 in the user's private group", "mkdir -m 0775 .config", "", {}},
        {"home 0775 in the user's private group", "chmod 0775 .", "", {}},
        {"a link in another user's directory", "mkdir dots",
         "mkdir ../t && ln -s ../home/dots ../t/c && chown -R $OTHER ../t && ln -s ../t/c .config", WrongOwner},
        {"another user's link", "mkdir dots && ln -s dots .config", "chown -h $OTHER .config", WrongOwner},
        {"~/.config a link to a file", "touch dots && ln -s dots .config", "", NotADirectory},
        {"~/.config writable by others", "mkdir -m 0777 .config", "", WritableByOthers},
        {"~/.config in a group with other members", "mkdir -m 0775 .config", "chgrp nogroup .config", WritableByOthers},
    };
    const std::string strOther = std::to_string(OtherUser()->uid);
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
        Installation install;
        const fs::path pathOwn = install.AddVersion(kszOwnVersionDir, MainApp::None);
        fs::permissions(install.Home().parent_path(), fs::perms::owner_all | fs::perms::group_read |
                                                          fs::perms::group_exec | fs::perms::others_read |
                                                          fs::perms::others_exec);
        fs::create_directory(install.Home());
        ASSERT_EQ(::chown(install.Home().c_str(), optUser->uid, optUser->gid), 0);
        const auto runIn = [&](const std::string& strScript) {
            ProcessOptions options;
            options.pathWorkingDirectory = install.Home();
            options.mapEnv = {{"OTHER", strOther}};
            return RunProcess({"/bin/bash", "-c", "umask 002 && " + strScript}, options).nExitStatus == 0;
        };
        ASSERT_TRUE(RunAsUser(*optUser, [&] { return runIn(testCase.strAsUser); }));
        ASSERT_TRUE(testCase.strAsRoot.empty() || runIn(testCase.strAsRoot));

        EXPECT_TRUE(RunAsUser(*optUser, [&] {
            return Run(pathOwn / "launcher", {}, {{"HOME", install.Home().string()}}, install.Home()).nExitStatus ==
                   127;
        }));
        EXPECT_TRUE(RunAsUser(*optUser, [&] { return lx::CheckLauncherLog(install.Home()).ec == testCase.ecRefused; }));
        if (testCase.ecRefused) {
            EXPECT_FALSE(fs::exists(install.LogFile()));
        } else {
            EXPECT_EQ(Messages(ParseLog(install.LogFile())).size(), 5u);
        }
    }
}

// As installed: the launcher's DT_RPATH (which also serves what it loads)
// and each library's run path name only their own directory.
TEST_F(LauncherProgramTest, EveryStagedFileCarriesOnlyOriginAsItsRunPath)
{
    size_t uElfFiles = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(kPathLauncherExe.parent_path())) {
        if (!entry.is_regular_file() || !ReadFile(entry.path()).starts_with("\177ELF")) {
            continue;
        }
        SCOPED_TRACE(entry.path());
        ++uElfFiles;
        const ProcessResult result = RunProcess({"/usr/bin/readelf", "-d", entry.path().string()});
        ASSERT_EQ(result.nExitStatus, 0) << result.strStderr;
        const std::regex kRunPath(R"(\((RPATH|RUNPATH)\) +Library r[a-z]*path: \[(.*)\])");
        std::vector<std::string> vtRunPaths;
        for (auto it = std::sregex_iterator(result.strStdout.begin(), result.strStdout.end(), kRunPath);
             it != std::sregex_iterator(); ++it) {
            vtRunPaths.push_back((*it)[1].str() + " " + (*it)[2].str());
        }
        const bool bLauncher = entry.path() == kPathLauncherExe;
        EXPECT_TRUE(vtRunPaths.empty() ||
                    vtRunPaths == std::vector<std::string>{bLauncher ? "RPATH $ORIGIN" : "RUNPATH $ORIGIN"})
            << testing::PrintToString(vtRunPaths);
        EXPECT_TRUE(!bLauncher || !vtRunPaths.empty());
    }
    EXPECT_GE(uElfFiles, 5u) << "the launcher, its doctor and the libraries";
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

// Each row is a chain below an own version without a library: copies of the
// built launcher with their libraries, or scripts standing in for older
// launchers that do not report. The first launcher ends as the chain does,
// and only the deepest launcher writes on the terminal.
TEST_F(LauncherProgramTest, FallbackChainEndsWithTheOutcomeOfItsDeepestLauncher)
{
    struct Older {
        const char* szName;
        MainApp enApp;
        const char* szScript; // instead of a launcher, when set
    };
    const std::string kSleeper = "echo $$ > \"$LX_TEST_SLEEPER\"; exec sleep 30 >/dev/null 2>&1";
    const struct {
        const char* szName;
        std::vector<Older> vtOlder;
        int nExitStatus;
        const char* szTerminalReason; // nullptr: nothing on the terminal
        std::string strOutcome;       // the first launcher's last message
        std::chrono::milliseconds msMin;
        std::chrono::milliseconds msMax;
    } arrCases[] = {
        {"no library anywhere",
         {{"16.22.2", MainApp::None, nullptr}, {"16.22.1", MainApp::None, nullptr}},
         127,
         "no main application library found",
         "Fallback ended without a client, exit status 127: {app}/16.22.2/launcher",
         0ms,
         kDurationStartBound},
        {"an unusable library at the bottom",
         {{"16.22.2", MainApp::None, nullptr}, {"16.22.1", MainApp::NoEntry, nullptr}},
         126,
         "main application library unusable",
         "Fallback ended without a client, exit status 126: {app}/16.22.2/launcher",
         0ms,
         kDurationStartBound},
        {"the bottom client runs for 5 s",
         {{"16.22.2", MainApp::NoEntry, nullptr}, {"16.22.1", MainApp::Scripted, nullptr}},
         0,
         nullptr,
         "Fallback reported its client started: {app}/16.22.2/launcher (pid *",
         0ms,
         kDurationStartBound},
        {"the bottom client returns 9",
         {{"16.22.2", MainApp::None, nullptr}, {"16.22.1", MainApp::StandIn, nullptr}},
         0,
         nullptr,
         "Fallback reported its client started: {app}/16.22.2/launcher (pid *",
         0ms,
         kDurationStartBound},
        {"an older launcher that never reports",
         {{"16.22.2", MainApp::None, kSleeper.c_str()}},
         0,
         nullptr,
         "Fallback did not report within 2000 ms: {app}/16.22.2/launcher",
         2000ms,
         2000ms + kDurationStartBound},
        {"an older launcher that exits 3",
         {{"16.22.2", MainApp::None, "exit 3"}},
         3,
         nullptr,
         "Fallback ended without a client, exit status 3: {app}/16.22.2/launcher",
         0ms,
         kDurationStartBound},
        {"an older launcher killed by a signal",
         {{"16.22.2", MainApp::None, "kill -KILL $$"}},
         128 + SIGKILL,
         nullptr,
         "Fallback ended without a client, exit status 137: {app}/16.22.2/launcher",
         0ms,
         kDurationStartBound},
        {"a middle launcher passes an exit status on",
         {{"16.22.2", MainApp::None, nullptr}, {"16.22.1", MainApp::None, "exit 3"}},
         3,
         nullptr,
         "Fallback ended without a client, exit status 3: {app}/16.22.2/launcher",
         0ms,
         kDurationStartBound},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
        Installation install;
        const fs::path pathOwn = install.AddVersion(kszOwnVersionDir, MainApp::None);
        for (const Older& older : testCase.vtOlder) {
            if (older.szScript != nullptr) {
                WriteScript(install.AppRoot() / older.szName / "launcher", older.szScript);
            } else {
                install.AddVersion(older.szName, older.enApp);
            }
        }
        fs::remove(m_install.Scratch("app.record"));

        const auto timeStart = std::chrono::steady_clock::now();
        const ProcessResult result = Run(pathOwn / "launcher", {},
                                         {{"HOME", install.Home().string()},
                                          {"LX_APP_RESULT", "9"},
                                          {"LX_TEST_APP_END", "sleep"},
                                          {"LX_TEST_SLEEPER", install.Scratch("sleeper").string()}});
        const auto msTaken = std::chrono::steady_clock::now() - timeStart;

        EXPECT_TRUE(result.bExited) << "signal " << result.nSignal;
        EXPECT_EQ(result.nExitStatus, testCase.nExitStatus);
        EXPECT_GE(msTaken, testCase.msMin);
        EXPECT_LT(msTaken, testCase.msMax);
        EXPECT_EQ(result.strStderr, testCase.szTerminalReason == nullptr
                                        ? ""
                                        : "launcher: the client could not be started: " +
                                              std::string(testCase.szTerminalReason) + "; see " +
                                              install.LogFile().string() + "\n");
        EXPECT_EQ(result.strStdout, "");
        const std::vector<LogRecord> vtLog = ParseLog(install.LogFile());
        ASSERT_FALSE(vtLog.empty());
        ExpectMessages({MessagesOf(vtLog, vtLog.front().strPid).back()},
                       Expand({testCase.strOutcome}, install.AppRoot().string()));
        if (WaitForLine(install.Scratch("sleeper"), 0)) {
            ::kill(std::stoi(ReadFile(install.Scratch("sleeper"))), SIGKILL);
        }
        // What a client holds, anything it starts can hold: neither the
        // variable nor the pipe.
        const bool bRecords = std::any_of(testCase.vtOlder.begin(), testCase.vtOlder.end(),
                                          [](const Older& older) { return older.enApp == MainApp::StandIn; });
        EXPECT_EQ(bRecords, WaitForLine(m_install.Scratch("app.record"), bRecords ? 10000 : 0));
        for (const Json::Value& call : ClientCalls()) {
            EXPECT_TRUE(call["ready_fd"].isNull());
            EXPECT_FALSE(HoldsAPipe(call)) << call["fds"];
        }
    }
}

// A sanitizer's report on SIGSEGV outlasts a test's window and ends the
// process with a status: crashes in tests of holds die by the signal.
constexpr const char* kszCrashAsIs = "handle_segv=0";

// A build's starts, one launch per step, as the client and the variable
// make them: "abort", "segv" (crashes at start), "late" (crashes after the
// window; "forkabort" after a forked child called exit()), "ret3", "exit1"
// (clean endings), "own", "olderN", "anywayN" (the
// own client, the older one with the own build held back after N failed
// starts, the held own one run all the same), "rebuild" (a new build of the
// own library, no launch). "reset:", "off:" or "bogus:" set
// LX_LAUNCHER_HEALTH for that launch.
TEST_F(LauncherProgramTest, FailedStartsHoldABuildBackUntilLifted)
{
    const std::string strHeld = "16.23.16808 is held back after ";
    const struct {
        const char* szName;
        bool bOlder;
        std::vector<std::string> vtSteps;
    } arrCases[] = {
        {"three crashes hold it back, the older runs", true, {"abort", "segv", "abort", "older3", "older3"}},
        {"clean endings never count",
         true,
         {"ret3", "ret3", "ret3", "ret3", "ret3", "ret3", "ret3", "ret3", "exit1", "exit1", "exit1", "exit1", "exit1",
          "exit1", "exit1", "exit1", "own"}},
        {"held with nothing older still runs, and that lifts it", false, {"abort", "abort", "abort", "anyway3", "own"}},
        {"reset forgets, off neither records nor holds",
         true,
         {"abort", "abort", "abort", "off:own", "older3", "reset:own", "off:abort", "off:abort", "off:abort", "own",
          "bogus:own"}},
        {"a new build lifts the hold", true, {"abort", "abort", "abort", "older3", "rebuild", "own"}},
        {"a healthy start ends the row", true, {"abort", "abort", "own", "segv", "abort", "own"}},
        {"a client alive past the window is healthy", true, {"late", "late", "late", "own"}},
        {"a forked child's exit() is not the client's", true, {"forkabort", "forkabort", "forkabort", "older3"}},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
        Installation install;
        const fs::path pathOwn = install.AddVersion(kszOwnVersionDir, MainApp::StandIn);
        if (testCase.bOlder) {
            install.AddVersion("16.22.100", MainApp::StandIn);
        }
        const fs::path pathRecord = install.Scratch("app.record");
        size_t uLogLines = 0;
        size_t uCalls = 0;
        for (const std::string& strStep : testCase.vtSteps) {
            SCOPED_TRACE(strStep);
            if (strStep == "rebuild") {
                fs::remove(pathOwn / kszMainAppLibrary);
                fs::copy_file(kPathStandInLibrary, pathOwn / kszMainAppLibrary);
                continue;
            }
            const size_t uColon = strStep.find(':');
            const std::string strWhat = strStep.substr(uColon == std::string::npos ? 0 : uColon + 1);
            std::map<std::string, std::optional<std::string>> mapEnv{
                {"HOME", install.Home().string()},
                {"LX_APP_RECORD_FILE", pathRecord.string()},
                {"LX_LAUNCHER_HEALTH_TEST_WINDOW_MS", strWhat == "late" ? "300" : "10000"},
                {"ASAN_OPTIONS", kszCrashAsIs}};
            if (uColon != std::string::npos) {
                mapEnv["LX_LAUNCHER_HEALTH"] = strStep.substr(0, uColon);
            }
            const bool bCrash = strWhat.ends_with("abort") || strWhat == "segv" || strWhat == "late";
            if (bCrash) {
                mapEnv["LX_APP_CRASH"] = strWhat == "segv" ? "segv" : "abort";
                mapEnv["LX_APP_CRASH_DELAY_MS"] = strWhat == "late" ? "1500" : "0";
            }
            if (strWhat == "forkabort") {
                mapEnv["LX_APP_FORK_EXIT"] = "1";
            }
            mapEnv["LX_APP_RESULT"] = strWhat == "ret3" ? "3" : "0";
            if (strWhat == "exit1") {
                mapEnv["LX_APP_EXIT"] = "1";
            }
            const ProcessResult result = Run(pathOwn / "launcher", {}, mapEnv);
            EXPECT_EQ(result.bExited, !bCrash) << "signal " << result.nSignal;
            if (!bCrash) {
                EXPECT_EQ(result.nExitStatus, strWhat == "ret3" ? 3 : strWhat == "exit1" ? 1 : 0);
            }
            ++uCalls;
            ASSERT_TRUE(PollUntil([&] { return ReadJsonLines(pathRecord).size() == uCalls; }, 10s));
            const Json::Value call = ReadJsonLines(pathRecord).back();
            EXPECT_EQ(call["launcher_variables"], Json::Value(Json::arrayValue)) << "the client sees none";
            const bool bOlder = strWhat.starts_with("older");
            EXPECT_EQ(fs::path(call["library"].asString()).parent_path().filename().string(),
                      bOlder ? "16.22.100" : kszOwnVersionDir);

            // This launch's own lines, and the older launcher's after them.
            std::vector<std::string> vtMessages;
            const auto firstStarting = [&](const std::string& strPrefix) {
                return std::find_if(vtMessages.begin(), vtMessages.end(),
                                    [&](const std::string& strMessage) { return strMessage.starts_with(strPrefix); });
            };
            PollUntil(
                [&] {
                    const std::vector<LogRecord> vtLog = ParseLog(install.LogFile());
                    vtMessages = Messages({vtLog.begin() + static_cast<std::ptrdiff_t>(uLogLines), vtLog.end()});
                    return !bOlder || (firstStarting("EndMainApp") != vtMessages.end() &&
                                       firstStarting("Fallback reported") != vtMessages.end());
                },
                5s);
            uLogLines += vtMessages.size();
            const auto held = firstStarting(strHeld);
            const std::string strHeldLine = held == vtMessages.end() ? "" : *held;
            const std::string strTimes = std::string(1, strWhat.back()) + " failed starts (last at ";
            if (bOlder) {
                const std::regex kOlder(R"(16\.23\.16808 is held back after )" + strWhat.substr(5) +
                                        R"( failed starts \(last at \d{4}-\d\d-\d\d \d\d:\d\d:\d\d\); )" +
                                        R"(starting 16\.22\.100)");
                EXPECT_TRUE(std::regex_match(strHeldLine, kOlder)) << strHeldLine;
            } else if (strWhat.starts_with("anyway")) {
                EXPECT_TRUE(strHeldLine.starts_with(strHeld + strTimes) &&
                            strHeldLine.ends_with("); nothing older started, starting it anyway"))
                    << strHeldLine;
            } else {
                EXPECT_EQ(strHeldLine, "");
            }
            EXPECT_EQ(std::count(vtMessages.begin(), vtMessages.end(),
                                 "Ignoring LX_LAUNCHER_HEALTH: not reset or off: bogus"),
                      strStep.starts_with("bogus:") ? 1 : 0);
        }
    }
}

// The own build's state before a launch: nConcurrent starts crashing
// together, then tries planted as words "fail:<age s>", "gone:<age s>" (a
// try of a process that is gone), "run:" (this test process, still alive),
// "boot:<age s>" (a gone process of another boot). The launch after them
// holds the build back or not; what is still pending stays.
TEST_F(LauncherProgramTest, TriesAreJudgedAtTheNextLaunchWhateverStartedTogether)
{
    const std::optional<lx::HealthClock> optClock = lx::HealthClock::OfThisMachine();
    if (!optClock) {
        GTEST_SKIP() << "no /proc";
    }
    const struct {
        const char* szName;
        size_t uConcurrent;
        std::vector<std::string> vtPlanted;
        uint32_t u32Held; // 0: not held
        size_t uLeft;     // entries in the state directory after the launch: a run of the own
                          // client ends the failures' row
    } arrCases[] = {
        {"six crashing at once", 6, {}, 6, 6},
        {"two failed, one still running", 0, {"fail:30", "fail:20", "run:0"}, 0, 1},
        {"two failed, one gone", 0, {"fail:30", "fail:20", "gone:10"}, 3, 3},
        {"two failed, one gone of another boot", 0, {"fail:30", "fail:20", "boot:10"}, 0, 0},
        {"two failed, one gone a day ago", 0, {"fail:90000", "fail:20", "gone:86500"}, 0, 0},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
        Installation install;
        const fs::path pathOwn = install.AddVersion(kszOwnVersionDir, MainApp::Scripted);
        install.AddVersion("16.22.100", MainApp::StandIn);
        const fs::path pathState = install.Home() / ".config/orvalo/2.0/Health";
        fs::create_directories(pathState);
        const std::map<std::string, std::optional<std::string>> mapEnv{{"HOME", install.Home().string()}};

        const fs::path pathBarrier = install.Scratch("barrier");
        const fs::path pathReady = install.Scratch("ready");
        ASSERT_EQ(::mkfifo(pathBarrier.c_str(), 0600), 0);
        std::vector<std::future<ProcessResult>> vtRuns;
        for (size_t i = 0; i < testCase.uConcurrent; ++i) {
            vtRuns.push_back(std::async(std::launch::async, [&] {
                return Run(pathOwn / "launcher", {},
                           {{"HOME", install.Home().string()},
                            {"LX_TEST_APP_BARRIER", pathBarrier.string()},
                            {"LX_TEST_APP_READY", pathReady.string()},
                            {"LX_TEST_APP_END", "segv"},
                            {"ASAN_OPTIONS", kszCrashAsIs}});
            }));
        }
        if (testCase.uConcurrent > 0) {
            EXPECT_TRUE(PollUntil([&] { return ReadLines(pathReady).size() == testCase.uConcurrent; }, 20s));
            const lx::CLXFileDescriptor fdRelease(::open(pathBarrier.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC));
            EXPECT_EQ(::write(fdRelease.Get(), "x", 1), 1);
        }
        for (std::future<ProcessResult>& run : vtRuns) {
            EXPECT_EQ(run.get().nSignal, SIGSEGV);
        }

        const std::optional<lx::BuildIdentity> optIdentity = lx::IdentifyBuild(pathOwn / kszMainAppLibrary);
        ASSERT_TRUE(optIdentity);
        pid_t nGone = 1 << 22; // above any pid_max
        for (const std::string& strWord : testCase.vtPlanted) {
            const std::string strKind = strWord.substr(0, strWord.find(':'));
            lx::TryRecord record{strKind == "fail", kszOwnVersionDir, ++nGone, 1, optClock->strBootId,
                                 optClock->n64Now - std::stoll(strWord.substr(strKind.size() + 1)), *optIdentity};
            if (strKind == "run") {
                record.nPid = ::getpid();
                record.u64BootTicks = *optClock->funcStartTicks(::getpid());
            } else if (strKind == "boot") {
                record.strBootId = std::string(32, 'f');
            }
            WriteFile(pathState / lx::FormatTryName(record), "");
        }

        const ProcessResult result = Run(pathOwn / "launcher", {}, mapEnv);
        EXPECT_EQ(result.nExitStatus, 0);
        std::vector<std::string> vtMessages = Messages(ParseLog(install.LogFile()));
        const std::string strHeld =
            "16.23.16808 is held back after " + std::to_string(testCase.u32Held) + " failed starts (last at ";
        EXPECT_EQ(std::count_if(vtMessages.begin(), vtMessages.end(),
                                [&](const std::string& strMessage) { return strMessage.starts_with(strHeld); }),
                  testCase.u32Held > 0 ? 1 : 0)
            << testing::PrintToString(vtMessages);
        // The fallback's own try goes once its client returned.
        size_t uLeft = 0;
        PollUntil(
            [&] {
                uLeft = static_cast<size_t>(std::distance(fs::directory_iterator(pathState), fs::directory_iterator()));
                return uLeft == testCase.uLeft;
            },
            5s);
        EXPECT_EQ(uLeft, testCase.uLeft);
    }
}

// A state that cannot be used changes nothing: crashing starts (three, or
// two beside names that are no tries), then the own client still runs. Each home is made by a bash script, as the
// user the launcher runs as (an ordinary user when the tests run as root),
// then as root ("$OTHER" another user).
TEST_F(LauncherProgramTest, UnusableHealthStateLaunchesAsToday)
{
    const std::optional<UserIds> optUser = PrivateGroupUser();
    if (IsRoot() && (!optUser || !OtherUser())) {
        GTEST_SKIP() << "acting as other users takes the users daemon and nobody";
    }
    const std::string strState = ".config/orvalo/2.0/Health";
    const struct {
        const char* szName;
        std::string strAsUser;
        std::string strAsRoot;
        int nCrashes = 3;
    } arrCases[] = {
        {"a file in its place", "mkdir -p .config/orvalo/2.0 && touch " + strState, ""},
        {"writable by others", "mkdir -p " + strState + " && chmod 0777 " + strState, ""},
        {"another user's", "mkdir -p " + strState, "chown $OTHER " + strState},
        {"refused by the system", "mkdir -p " + strState + " && chmod 0 " + strState, ""},
        {"read-only, holding three failures",
         "mkdir -p " + strState + " && cd " + strState + " && touch $FAILS && chmod 0500 .", "", 0},
        {"corrupt and truncated names",
         "mkdir -p " + strState + " && cd " + strState + " && touch fail fail_ fail_16.23.16808 try_16.23.16808_1_2 " +
             "fail_16.23.16808_1_2_" + std::string(32, 'a') + "_3_4_5_6_7 'try_16.23.16808_1 2'",
         "", 2},
    };
    const std::string strOther = OtherUser() ? std::to_string(OtherUser()->uid) : "";
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
        Installation install;
        const fs::path pathOwn = install.AddVersion(kszOwnVersionDir, MainApp::StandIn);
        install.AddVersion("16.22.100", MainApp::StandIn);
        fs::permissions(install.Home().parent_path(), fs::perms::owner_all | fs::perms::group_read |
                                                          fs::perms::group_exec | fs::perms::others_read |
                                                          fs::perms::others_exec);
        fs::create_directory(install.Home());
        // Three failed starts of the own build, as the launcher names them.
        std::string strFails;
        const std::optional<lx::HealthClock> optClock = lx::HealthClock::OfThisMachine();
        const std::optional<lx::BuildIdentity> optIdentity = lx::IdentifyBuild(pathOwn / kszMainAppLibrary);
        for (pid_t nPid = 1 << 22; optClock && optIdentity && nPid < (1 << 22) + 3; ++nPid) {
            strFails += " " + lx::FormatTryName({true, kszOwnVersionDir, nPid, 1, optClock->strBootId,
                                                 optClock->n64Now, *optIdentity});
        }
        const auto runIn = [&](const std::string& strScript) {
            ProcessOptions options;
            options.pathWorkingDirectory = install.Home();
            options.mapEnv = {{"OTHER", strOther}, {"FAILS", strFails}};
            return RunProcess({"/bin/bash", "-c", strScript}, options).nExitStatus == 0;
        };
        const auto asUser = [&](const std::function<bool()>& fn) { return IsRoot() ? RunAsUser(*optUser, fn) : fn(); };
        if (IsRoot()) {
            ASSERT_EQ(::chown(install.Home().c_str(), optUser->uid, optUser->gid), 0);
        }
        ASSERT_TRUE(asUser([&] { return runIn(testCase.strAsUser); }));
        ASSERT_TRUE(testCase.strAsRoot.empty() || runIn(testCase.strAsRoot));
        const auto launch = [&](const char* szCrash) {
            return Run(pathOwn / "launcher", {},
                       {{"HOME", install.Home().string()}, {"LX_APP_CRASH", szCrash}, {"LX_APP_RECORD_FILE", {}}},
                       install.Home());
        };
        EXPECT_TRUE(asUser([&] {
            bool bAsToday = true;
            for (int nCrash = 0; nCrash < testCase.nCrashes; ++nCrash) {
                bAsToday = bAsToday && launch("abort").nSignal == SIGABRT;
            }
            return bAsToday && launch("").nExitStatus == 0;
        }));
        const std::vector<LogRecord> vtLog = ParseLog(install.LogFile());
        ASSERT_FALSE(vtLog.empty());
        EXPECT_EQ(MessagesOf(vtLog, vtLog.back().strPid),
                  (std::vector<std::string>{"Init", "StartMainApp, ClientType: 120", "EndMainApp, result: 0"}));
        EXPECT_EQ(vtLog.size(), static_cast<size_t>(testCase.nCrashes) * 2 + 3) << "the crashes and a run, all own";
    }
}

} // namespace
