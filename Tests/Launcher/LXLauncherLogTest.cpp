#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>

#include <gtest/gtest.h>
#include <spdlog/spdlog.h>

#include "LXLauncherLog.h"
#include "LauncherFixture.h"

namespace fs = std::filesystem;
using namespace lxtest;

namespace {

// One launcher log line: level, local time with milliseconds, pid:tid,
// logger name, source file:line, message.
const std::regex kLogLine(R"(\[info\] \[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[\d+:\d+\] \[Launcher\] )"
                          R"(\[LXLauncherLogTest\.cpp:\d+\] (.*))");

class LXLauncherLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* szHome = std::getenv("HOME");
        m_optSavedHome = szHome != nullptr ? std::optional<std::string>(szHome) : std::nullopt;
        setenv("HOME", m_dir.Path().c_str(), 1);
    }
    void TearDown() override
    {
        spdlog::shutdown();
        if (m_optSavedHome) {
            setenv("HOME", m_optSavedHome->c_str(), 1);
        } else {
            unsetenv("HOME");
        }
    }
    fs::path LogFile() const { return m_dir / ".config/orvalo/2.0/Logs/Launcher.log"; }

    TempDir m_dir;
    std::optional<std::string> m_optSavedHome;
};

TEST_F(LXLauncherLogTest, FilePathFollowsHomeUnchanged)
{
    EXPECT_EQ(lx::LauncherLogFilePathForHome("/home/user"), "/home/user/.config/orvalo/2.0/Logs/Launcher.log");
    EXPECT_EQ(lx::LauncherLogFilePathForHome("/home/user/"), "/home/user//.config/orvalo/2.0/Logs/Launcher.log");
}

TEST_F(LXLauncherLogTest, UnsetOrEmptyHomeFallsBackToThePasswordDatabase)
{
    const passwd* pEntry = getpwuid(getuid());
    ASSERT_NE(pEntry, nullptr);
    unsetenv("HOME");
    EXPECT_EQ(lx::HomeDirectory(), pEntry->pw_dir);
    setenv("HOME", "", 1);
    EXPECT_EQ(lx::HomeDirectory(), pEntry->pw_dir);
}

TEST_F(LXLauncherLogTest, InitCreatesTheFileAndWritesRecordsInTheLauncherLayout)
{
    LXLauncherLog::Init();
    EXPECT_TRUE(fs::exists(LogFile())) << "created before any record";
    EXPECT_EQ(fs::file_size(LogFile()), 0u);
    EXPECT_EQ(spdlog::get("Launcher"), spdlog::default_logger());
    EXPECT_EQ(spdlog::get(""), nullptr);

    SPDLOG_INFO("Init");
    SPDLOG_INFO("value {} and {}", 42, "text");
    spdlog::default_logger()->flush();

    const std::vector<std::string> vtLines = ReadLines(LogFile());
    ASSERT_EQ(vtLines.size(), 2u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(vtLines[0], match, kLogLine)) << vtLines[0];
    EXPECT_EQ(match[1], "Init");
    EXPECT_NE(vtLines[0].find("[" + std::to_string(getpid()) + ":"), std::string::npos);
    ASSERT_TRUE(std::regex_match(vtLines[1], match, kLogLine)) << vtLines[1];
    EXPECT_EQ(match[1], "value 42 and text");
}

TEST_F(LXLauncherLogTest, ASecondRunAppendsToTheSameFile)
{
    LXLauncherLog::Init();
    SPDLOG_INFO("first run");
    spdlog::shutdown();

    LXLauncherLog::Init();
    SPDLOG_INFO("second run");
    spdlog::default_logger()->flush();

    const std::vector<std::string> vtLines = ReadLines(LogFile());
    ASSERT_EQ(vtLines.size(), 2u);
    EXPECT_NE(vtLines[0].find("first run"), std::string::npos);
    EXPECT_NE(vtLines[1].find("second run"), std::string::npos);
}

TEST_F(LXLauncherLogTest, RotatesBeforeExceedingFiveMebibytesAndKeepsThreeFiles)
{
    const fs::path pathLogs = LogFile().parent_path();
    WriteFile(LogFile(), std::string(5 * 1024 * 1024 - 10, 'x'));
    WriteFile(pathLogs / "Launcher.1.log", "one");
    WriteFile(pathLogs / "Launcher.2.log", "two");
    WriteFile(pathLogs / "Launcher.3.log", "three");

    LXLauncherLog::Init();
    SPDLOG_INFO("fits"); // would take the file beyond the limit
    spdlog::default_logger()->flush();

    EXPECT_EQ(fs::file_size(pathLogs / "Launcher.1.log"), 5u * 1024 * 1024 - 10);
    EXPECT_EQ(ReadFile(pathLogs / "Launcher.2.log"), "one");
    EXPECT_EQ(ReadFile(pathLogs / "Launcher.3.log"), "two");
    EXPECT_FALSE(fs::exists(pathLogs / "Launcher.4.log"));
    const std::vector<std::string> vtLines = ReadLines(LogFile());
    ASSERT_EQ(vtLines.size(), 1u);
    EXPECT_NE(vtLines[0].find("fits"), std::string::npos);
}

// The client runs in the launcher's process and may start programs of its
// own; none of them may hold the log file open.
TEST_F(LXLauncherLogTest, LogFileIsNotInheritedByStartedPrograms)
{
    LXLauncherLog::Init();
    SPDLOG_INFO("open");
    spdlog::default_logger()->flush();

    ProcessOptions options;
    options.mapEnv[kszProbeRecordEnv] = (m_dir / "probe").string();
    const ProcessResult result = RunProcess({TestProgramPath().string()}, options);
    ASSERT_EQ(result.nExitStatus, 0) << result.strStderr;
    const std::vector<Json::Value> vtRecords = ReadJsonLines(m_dir / "probe");
    ASSERT_EQ(vtRecords.size(), 1u);
    const std::vector<int> vtFds = ProbeDescriptors(vtRecords[0]);
    ASSERT_GE(vtFds.size(), 3u);
    EXPECT_EQ(vtFds[2], 2) << "the listing holds the standard streams";
    for (const std::string& strFd : vtRecords[0]["fds"].getMemberNames()) {
        EXPECT_EQ(vtRecords[0]["fds"][strFd].asString().find("Launcher.log"), std::string::npos) << strFd;
    }
}

TEST_F(LXLauncherLogTest, UnopenableLogFileGivesALauncherLoggerThatDiscards)
{
    WriteFile(m_dir / "not-a-directory", "");
    for (const fs::path& pathHome : {m_dir / "not-a-directory", fs::path("/proc")}) {
        SCOPED_TRACE(pathHome);
        setenv("HOME", pathHome.c_str(), 1);
        ASSERT_NO_THROW(LXLauncherLog::Init());
        ASSERT_NE(spdlog::default_logger(), nullptr);
        EXPECT_EQ(spdlog::default_logger()->name(), "Launcher");
        SPDLOG_INFO("discarded");
        spdlog::default_logger()->flush();
        spdlog::shutdown();
    }
    // The record went nowhere: not into the file HOME names either.
    EXPECT_EQ(ReadFile(m_dir / "not-a-directory"), "");
}

// The same rules read-only (for a diagnosis) and when opening (see Plant).
TEST_F(LXLauncherLogTest, CheckFindsWhatOpeningRefusesAndCreatesNothing)
{
    using enum lx::LogFileError;
    const std::vector<std::tuple<std::string, std::error_code, std::string, bool>> vtCases{
        {"", {}, "~/.config", true}, // missing, so made when opening
        {"open:~", WritableByOthers, "~", false},
        {"open:.", WritableByOthers, ".", false},
        {"fifo:Launcher.log", NotARegularFile, "Launcher.log", false},
        {"link:Launcher.log.lock", NotARegularFile, "Launcher.log.lock", false},
        {"dir:Launcher.3.log", NotARegularFile, "Launcher.3.log", true}, // only stops rotation
        {"dir:. give:.", WrongOwner, ".", false},
        {"old:Launcher.log give:Launcher.log", WrongOwner, "Launcher.log", false},
    };
    for (size_t i = 0; i < vtCases.size(); ++i) {
        const auto& [strPlan, ec, strWhere, bOpens] = vtCases[i];
        SCOPED_TRACE(strPlan);
        if (ec == WrongOwner && !OtherUser()) {
            continue; // making another user's files takes root
        }
        const fs::path pathHome = m_dir / std::to_string(i);
        fs::create_directories(pathHome);
        Plant(pathHome, m_dir / "victim", strPlan);
        const std::string strVictim = ReadFile(m_dir / "victim");
        const auto countEntries = [&] { return std::distance(fs::recursive_directory_iterator(pathHome), {}); };
        const auto nEntriesBefore = countEntries();

        const lx::LogPathStatus status = lx::CheckLauncherLog(pathHome.string());
        EXPECT_EQ(status.ec, ec) << status.ec.message();
        EXPECT_EQ(status.strPath, PlantedPath(pathHome, strWhere).string());
        EXPECT_EQ(countEntries(), nEntriesBefore) << "a check creates nothing";
        lx::LogPathStatus opened;
        const lx::PrivateDirectory settings = lx::OpenSettingsDirectory(pathHome.string(), true, opened);
        EXPECT_EQ(settings.fd.IsOpen() && lx::OpenLauncherLog(settings, opened) != nullptr, bOpens)
            << opened.ec.message();
        EXPECT_TRUE(ReadFile(m_dir / "victim") == strVictim);
    }
}

TEST_F(LXLauncherLogTest, RecordsReachTheFileAtOnceAndFollowAnotherProcesssRotation)
{
    const fs::path pathLogs = LogFile().parent_path();
    LXLauncherLog::Init();
    SPDLOG_INFO("one");
    EXPECT_EQ(ReadLines(LogFile()).size(), 1u) << "no flush needed";
    for (const fs::path& path : {pathLogs, pathLogs.parent_path(), LogFile(), pathLogs / "Launcher.log.lock"}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, S_ISDIR(st.st_mode) ? 0700u : 0600u) << path;
    }
    fs::rename(LogFile(), pathLogs / "Launcher.1.log"); // as another launcher rotates
    SPDLOG_INFO("two");
    fs::remove(LogFile()); // as the user clears it
    SPDLOG_INFO("three");
    EXPECT_TRUE(ReadFile(pathLogs / "Launcher.1.log").ends_with("] one\n"));
    EXPECT_TRUE(ReadFile(LogFile()).ends_with("] three\n"));
    EXPECT_EQ(ReadLines(LogFile()).size(), 1u);
}

} // namespace
