#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include <gtest/gtest.h>

#include "LXHandOver.h"
#include "LXPosix.h"
#include "LauncherFixture.h"

using namespace lxtest;
using namespace std::chrono_literals;

namespace {

// Only a pipe or FIFO open for writing, above 2, is taken; anything else
// stays as it was, open and without close-on-exec.
TEST(LXHandOverTest, StarterLinkTakesOnlyAnInheritedPipeOpenForWriting)
{
    TempDir dir;
    int arrPipe[2];
    ASSERT_EQ(::pipe(arrPipe), 0);
    const lx::CLXFileDescriptor fdRead(arrPipe[0]);
    const lx::CLXFileDescriptor fdFile(::open((dir / "file").c_str(), O_WRONLY | O_CREAT, 0600));
    const std::string strWrite = std::to_string(arrPipe[1]);
    const struct {
        std::string strValue;
        const char* szIgnored;
    } arrCases[] = {
        {"garbage", "not a descriptor above 2: garbage"},
        {"", "not a descriptor above 2: "},
        {"1", "not a descriptor above 2: 1"},
        {"-5", "not a descriptor above 2: -5"},
        {"0000000003", "not a descriptor above 2: 0000000003"},
        {"999999", "not a pipe open for writing: 999999"},
        {std::to_string(fdFile.Get()), "not a pipe open for writing: "},
        {std::to_string(fdRead.Get()), "not a pipe open for writing: "},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.strValue);
        ASSERT_EQ(::setenv(lx::kszReadyFdEnv, testCase.strValue.c_str(), 1), 0);
        lx::CLXStarterLink link = lx::CLXStarterLink::TakeFromEnvironment();
        EXPECT_EQ(std::getenv(lx::kszReadyFdEnv), nullptr);
        ASSERT_TRUE(link.Ignored());
        EXPECT_EQ(link.Ignored()->rfind(testCase.szIgnored, 0), 0u) << *link.Ignored();
        link.ReportClientStarting();
    }
    EXPECT_EQ(::fcntl(fdFile.Get(), F_GETFD), 0) << "an ignored descriptor is left alone";
    EXPECT_EQ(::fcntl(fdRead.Get(), F_GETFD), 0);
    EXPECT_FALSE(lx::CLXStarterLink::TakeFromEnvironment().Ignored()) << "unset";

    // Taken: close-on-exec, one byte, then closed; a second report is nothing.
    ASSERT_EQ(::setenv(lx::kszReadyFdEnv, strWrite.c_str(), 1), 0);
    lx::CLXStarterLink link = lx::CLXStarterLink::TakeFromEnvironment();
    EXPECT_EQ(::fcntl(arrPipe[1], F_GETFD), FD_CLOEXEC);
    link.ReportClientStarting();
    link.ReportClientStarting();
    EXPECT_EQ(::fcntl(arrPipe[1], F_GETFD), -1);
    EXPECT_EQ(ReadFile("/proc/self/fd/" + std::to_string(fdRead.Get())), "1");

    // The starter gone: no SIGPIPE (it would end this test program).
    ASSERT_EQ(::pipe(arrPipe), 0);
    ::close(arrPipe[0]);
    ASSERT_EQ(::setenv(lx::kszReadyFdEnv, std::to_string(arrPipe[1]).c_str(), 1), 0);
    lx::CLXStarterLink::TakeFromEnvironment().ReportClientStarting();
    EXPECT_EQ(::fcntl(arrPipe[1], F_GETFD), -1);
}

// A started shell script stands in for the started launcher; the write end
// is handed over as a launcher hands it over.
TEST(LXHandOverTest, AwaitFallbackTellsReportEndAndSilenceApart)
{
    const struct {
        const char* szScript;
        lx::FallbackEnd enEnd;
        std::optional<int> optExitStatus;
        std::chrono::milliseconds msMax;
    } arrCases[] = {
        {"printf 1 >&3; exec sleep 5", lx::FallbackEnd::CLIENT_STARTED, std::nullopt, 1500ms},
        {"printf 1 >&3; exit 7", lx::FallbackEnd::CLIENT_STARTED, std::nullopt, 1500ms},
        {"exit 3", lx::FallbackEnd::ENDED, 3, 1500ms},
        {"kill -TERM $$", lx::FallbackEnd::ENDED, 128 + SIGTERM, 1500ms},
        {"exec 3>&-; sleep 0.2; exit 4", lx::FallbackEnd::ENDED, 4, 1500ms},
        {"sleep 5 & exit 5", lx::FallbackEnd::ENDED, 5, 1500ms}, // the pipe outlives it
        {"exec sleep 5", lx::FallbackEnd::NO_REPORT, std::nullopt, 400ms + 1000ms},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szScript);
        int arrPipe[2];
        ASSERT_EQ(::pipe2(arrPipe, O_CLOEXEC), 0);
        const lx::CLXFileDescriptor fdRead(arrPipe[0]);
        lx::CLXFileDescriptor fdWrite(arrPipe[1]);
        lx::ProcessOptions options;
        options.vtStrArgs = {"-c", testCase.szScript};
        options.vtHandOver = {{fdWrite.Get(), lx::kNReadyFdHandedOver}};
        const lx::StartResult stResult = lx::StartProcess("/bin/sh", options);
        fdWrite.Reset();
        ASSERT_TRUE(stResult.bStarted);

        const auto timeStart = std::chrono::steady_clock::now();
        const lx::FallbackOutcome stOutcome = lx::AwaitFallback(fdRead.Get(), stResult.nPid, 400ms);
        const auto msTaken = std::chrono::steady_clock::now() - timeStart;

        EXPECT_EQ(stOutcome.enEnd, testCase.enEnd);
        EXPECT_EQ(stOutcome.optExitStatus, testCase.optExitStatus);
        EXPECT_LT(msTaken, testCase.msMax);
        if (testCase.enEnd == lx::FallbackEnd::NO_REPORT) {
            EXPECT_GE(msTaken, 400ms);
        }
        ::kill(stResult.nPid, SIGKILL);
        WaitForExit(stResult.nPid);
    }
}

} // namespace
