#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

#include <spdlog/spdlog.h>

#include "LXFallback.h"
#include "LXHandOver.h"
#include "LXLauncherLog.h"
#include "LXLauncherMessages.h"
#include "LXLinuxLauncher.h"
#include "LXPosix.h"

namespace {

// A library threw past the launch: sysexits' "internal software error",
// distinct from the usual client codes.
constexpr int kNLaunchAbortedExitCode = 70;

// The client runs in this process; nothing either writes to the console is
// meant for the user. One descriptor onto both streams: freopen would leave a
// stream closed when /dev/null cannot be opened, and the next file opened
// (the log) would take its place.
void SilenceConsole()
{
    std::fflush(stdout);
    std::fflush(stderr);
    const int nNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nNull == -1) {
        return;
    }
    ::dup2(nNull, STDOUT_FILENO);
    ::dup2(nNull, STDERR_FILENO);
    if (nNull == STDOUT_FILENO || nNull == STDERR_FILENO) {
        // Started without that stream, and it is one now: a fallback
        // launcher must get it too.
        ::fcntl(nNull, F_SETFD, 0);
    } else {
        ::close(nNull);
    }
}

} // namespace

int main(int argc, char** argv)
{
    // First: a log or a copy opened onto a closed standard descriptor would
    // become the client's.
    lx::OpenClosedStandardDescriptors();
    // Before the launcher opens a descriptor of its own, so that the number
    // it names can only be one it inherited.
    lx::CLXStarterLink starterLink = lx::CLXStarterLink::TakeFromEnvironment();

    // The user's standard output and error, kept for a fallback launcher and
    // for the one line they get when no client runs. Close-on-exec and above
    // 2, and the launcher closes them before the client runs, so neither the
    // client nor anything it starts holds them. Invalid when a dup fails.
    lx::CLXFileDescriptor fdOutput(::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    lx::CLXFileDescriptor fdTerminal(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1));
    SilenceConsole();

    lx::PrivateDirectory settings = LXLauncherLog::Init();
    SPDLOG_INFO(lx::msg::kszInit);

    try {
        CLXLinuxLauncher launcher;
        launcher.KeepConsole(std::move(fdOutput), std::move(fdTerminal));
        launcher.KeepStarterLink(std::move(starterLink));
        launcher.KeepSettings(std::move(settings));
        return launcher.Launch(argc, argv);
    } catch (const std::exception& ex) {
        SPDLOG_INFO(lx::msg::kszAbortedByException, ex.what());
    } catch (...) {
        SPDLOG_INFO(lx::msg::kszAbortedUnknown);
    }
    return kNLaunchAbortedExitCode;
}
