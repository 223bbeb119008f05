// The launcher log read back: records, and launches grouped across files.

#include <gtest/gtest.h>

#include "LXDoctor.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace lx::doctor;
using namespace lxtest;

namespace {

std::string Record(int nPid, const std::string& strMessage, const std::string& strTime = "2026-12-08 12:00:00.123")
{
    return "[info] [" + strTime + "] [" + std::to_string(nPid) + ":" + std::to_string(nPid) +
           "] [Launcher] [LXLauncher.cpp:120] " + strMessage + "\n";
}

TEST(LXDoctorLogTest, ParsesRecordsAndSkipsWhatIsNotOne)
{
    struct Case {
        std::string strLine;
        bool bParses;
        std::string strMessage;
    };
    const std::vector<Case> vtCases{
        {"[info] [2026-12-08 12:00:00.123] [4242:4243] [Launcher] [main.cpp:24] Init", true, "Init"},
        {"[info] [2026-12-08 12:00:00.123] [1:1] [Launcher] [a.cpp:1] text [with] brackets\r", true,
         "text [with] brackets"},
        {"[info] [2026-12-08 12:00:00.123] [1:1] [Launcher] [a.cpp:1] ", true, ""},
        {"[info] [2026-12-08 12:00:00] [1:1] [Launcher] [a.cpp:1] Init", false, ""},
        {"[info] [2026-12-08 12:00:00.123] [x:1] [Launcher] [a.cpp:1] Init", false, ""},
        {"[info] [2026-12-08 12:00:00.123] [1:1] [Launcher] [a.cpp] Init", false, ""},
        {"[info] [2026-12-08 12:00:00.123] [1:1] Init", false, ""},
        {"garbage", false, ""},
        {"", false, ""},
    };
    for (const Case& testCase : vtCases) {
        SCOPED_TRACE(testCase.strLine);
        const std::optional<LogRecord> optRecord = ParseLogRecord(testCase.strLine);
        ASSERT_EQ(optRecord.has_value(), testCase.bParses);
        if (optRecord) {
            EXPECT_EQ(optRecord->strMessage, testCase.strMessage);
        }
    }
    const std::optional<LogRecord> optRecord = ParseLogRecord(vtCases[0].strLine);
    EXPECT_EQ(optRecord->nPid, 4242);
    EXPECT_EQ(optRecord->strTime, "2026-12-08 12:00:00.123");
}

TEST(LXDoctorLogTest, MatchesAMessageToItsFormat)
{
    using Fields = std::vector<std::string_view>;
    struct Case {
        std::string_view strFormat;
        std::string_view strMessage;
        std::optional<Fields> optFields;
    };
    const std::vector<Case> vtCases{
        {"Init", "Init", Fields{}},
        {"Init", "Init2", std::nullopt},
        {"Fallback started: {} (pid {})", "Fallback started: /a b/launcher (pid 12)", Fields{"/a b/launcher", "12"}},
        {"Fallback started: {} (pid {})", "Fallback started: /a/launcher (pid 12", std::nullopt},
        {"No client started, exit status {}: {}", "No client started, exit status 126: a: b", Fields{"126", "a: b"}},
        {"Launch aborted by{}", "Launch aborted by unknown exception", Fields{" unknown exception"}},
        {"EndMainApp, result: {}", "EndMainApp", std::nullopt},
    };
    for (const Case& testCase : vtCases) {
        SCOPED_TRACE(testCase.strMessage);
        EXPECT_EQ(MatchFormat(testCase.strFormat, testCase.strMessage), testCase.optFields);
    }
}

TEST(LXDoctorLogTest, GroupsRecordsIntoLaunchesAcrossRotatedFiles)
{
    TempDir dir;
    // Older file: one whole launch and the start of one that goes on after
    // the rotation.
    WriteFile(dir / "Launcher.1.log", Record(10, "Init") + Record(10, "StartMainApp, ClientType: 120") +
                                          Record(10, "EndMainApp, result: 4") + Record(20, "Init"));
    WriteFile(dir / "Launcher.log",
              Record(20, "Main application library not found: /a/16.23.1/libLxAppStartProcess.so") +
                  Record(20, "Fallback chosen: 16.22.0 (/a/16.22.0/launcher)") + Record(21, "Init") +
                  Record(20, "Fallback started: /a/16.22.0/launcher (pid 21)") + "not a record\n" +
                  Record(21, "Invoke Process: /a/16.21.0/launcher") +
                  Record(21, "Could not start /a/16.21.0/launcher: Permission denied") +
                  Record(21, "No client started, exit status 126: no fallback launcher starts") + Record(30, "Init") +
                  Record(30, "Launch aborted by exception: boom") + Record(40, "Init") +
                  Record(40, "StartMainApp, ClientType: 120") + Record(50, "Init") + Record(99, "orphan"));

    const LogReading reading = ReadLaunches({dir / "Launcher.3.log", dir / "Launcher.1.log", dir / "Launcher.log"});

    struct Expected {
        int64_t nPid;
        LaunchOutcome enOutcome;
        std::string strDetail;
    };
    const std::vector<Expected> vtExpected{
        {10, LaunchOutcome::ClientRan, "4"},
        {20, LaunchOutcome::FellBack, "16.22.0"},
        {21, LaunchOutcome::NoClient, "no fallback launcher starts"},
        {30, LaunchOutcome::Aborted, "Launch aborted by exception: boom"},
        {40, LaunchOutcome::ClientStarted, ""},
        {50, LaunchOutcome::Unknown, ""},
    };
    ASSERT_EQ(reading.vtLaunches.size(), vtExpected.size());
    for (size_t i = 0; i < vtExpected.size(); ++i) {
        const LaunchSummary& launch = reading.vtLaunches[i];
        SCOPED_TRACE(launch.nPid);
        EXPECT_EQ(launch.nPid, vtExpected[i].nPid);
        EXPECT_STREQ(KeyOf(launch.enOutcome), KeyOf(vtExpected[i].enOutcome));
        const std::string strDetail = launch.enOutcome == LaunchOutcome::ClientRan  ? std::to_string(*launch.optResult)
                                      : launch.enOutcome == LaunchOutcome::FellBack ? launch.strFallbackVersion
                                                                                    : launch.strReason;
        EXPECT_EQ(strDetail, vtExpected[i].strDetail);
    }
    EXPECT_EQ(reading.vtLaunches[1].optFallbackPid, 21);
    EXPECT_EQ(reading.vtLaunches[2].optStartedByPid, 20);
    EXPECT_EQ(reading.vtLaunches[2].optExitStatus, 126);
    ASSERT_EQ(reading.uUnparsedCount, 1u);
    EXPECT_EQ(reading.vtUnparsed[0].uLineNumber, 5u);
    EXPECT_EQ(reading.vtUnparsed[0].strText, "not a record");
}

} // namespace
