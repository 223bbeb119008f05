#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include <gtest/gtest.h>

#include "LXProcessUtil.h"

namespace {

volatile sig_atomic_t g_nAlarms = 0;

TEST(LXProcessUtilTest, ArgvPointsAtItsOwnStringsAndEndsInNull)
{
    lx::CArgv argv({"prog", "", "a longer argument than fits in a short string"});
    ASSERT_EQ(argv.Count(), 3);
    EXPECT_STREQ(argv.Data()[0], "prog");
    EXPECT_STREQ(argv.Data()[1], "");
    EXPECT_STREQ(argv.Data()[2], "a longer argument than fits in a short string");
    EXPECT_EQ(argv.Data()[3], nullptr);
}

TEST(LXProcessUtilTest, WaitGivesTheStatusThroughSignalsAndNothingForAStranger)
{
    // A handler without SA_RESTART, so the wait is interrupted on the way.
    struct sigaction stAction {};
    struct sigaction stPrevious {};
    stAction.sa_handler = [](int) { g_nAlarms = g_nAlarms + 1; };
    ASSERT_EQ(sigaction(SIGALRM, &stAction, &stPrevious), 0);
    const pid_t nPid = fork();
    if (nPid == 0) {
        usleep(300000);
        _exit(5);
    }
    ASSERT_GT(nPid, 0);
    const itimerval stTimer{{0, 20000}, {0, 20000}};
    setitimer(ITIMER_REAL, &stTimer, nullptr);

    const std::optional<int> optStatus = lx::WaitForExit(nPid);
    const itimerval stOff{};
    setitimer(ITIMER_REAL, &stOff, nullptr);
    sigaction(SIGALRM, &stPrevious, nullptr);

    EXPECT_GT(g_nAlarms, 0);
    ASSERT_TRUE(optStatus);
    ASSERT_TRUE(WIFEXITED(*optStatus));
    EXPECT_EQ(WEXITSTATUS(*optStatus), 5);
    EXPECT_EQ(lx::WaitForExit(nPid), std::nullopt) << "already reaped";
}

} // namespace
