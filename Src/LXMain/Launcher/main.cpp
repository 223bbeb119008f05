#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

#include <spdlog/spdlog.h>

#include "LXFallback.h"
#include "LXLauncherLog.h"
#include "LXLinuxLauncher.h"
#include "LXProcessUtil.h"

int main(int argc, char** argv)
{
    // The user's standard error, kept for the one line they get when no
    // client runs. Close-on-exec and above 2, and the launcher closes it
    // before the client runs, so neither the client nor anything started
    // holds it. Invalid when descriptor 2 was closed.
    lx::CUniqueFd fdTerminal(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));

    // The client runs in this process; nothing either writes to the console
    // is meant for the user.
    (void)std::freopen("/dev/null", "w", stdout);
    (void)std::freopen("/dev/null", "w", stderr);

    LXLauncherLog::Init();
    SPDLOG_INFO("Init");

    try {
        CLXLinuxLauncher launcher;
        launcher.KeepTerminal(std::move(fdTerminal));
        return launcher.Launch(argc, argv);
    } catch (const std::exception& ex) {
        SPDLOG_INFO("Launch aborted by exception: {}", ex.what());
    } catch (...) {
        SPDLOG_INFO("Launch aborted by unknown exception");
    }
    return lx::kNLaunchAbortedExitCode;
}
