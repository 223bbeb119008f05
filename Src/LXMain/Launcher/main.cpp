#include <cstdio>
#include <exception>

#include <spdlog/spdlog.h>

#include "LXLauncherLog.h"
#include "LXLinuxLauncher.h"

namespace {

// What the launcher exits with when a library throws past the launch:
// sysexits' "internal software error", distinct from the usual client codes.
constexpr int kNLaunchAbortedExitCode = 70;

} // namespace

int main(int argc, char** argv)
{
    // The client runs in this process; nothing either writes to the console
    // is meant for the user.
    (void)std::freopen("/dev/null", "w", stdout);
    (void)std::freopen("/dev/null", "w", stderr);

    // A log opened onto a closed standard descriptor would become the client's.
    lx::OpenClosedStandardDescriptors();
    LXLauncherLog::Init();
    SPDLOG_INFO("Init");

    try {
        CLXLinuxLauncher launcher;
        return launcher.Launch(argc, argv);
    } catch (const std::exception& ex) {
        SPDLOG_INFO("Launch aborted by exception: {}", ex.what());
    } catch (...) {
        SPDLOG_INFO("Launch aborted by unknown exception");
    }
    return kNLaunchAbortedExitCode;
}
