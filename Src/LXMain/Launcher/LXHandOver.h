#pragma once

// How a launcher that falls back learns what became of the launcher it
// started: a pipe whose write end the started launcher gets, named in
// kszReadyFdEnv. One byte on it says a client is about to start down the
// chain; its end without that byte says none did, and the exit status says
// how it ended.

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>

#include "LXPosix.h"

namespace lx {

inline constexpr const char* kszReadyFdEnv = "LX_LAUNCHER_READY_FD";
// Where the started launcher gets the write end.
inline constexpr int kNReadyFdHandedOver = 3;
// How long a starter waits for the report or the end of the launcher it
// started. An older launcher never reports; it costs this much, no more.
inline constexpr std::chrono::milliseconds kDurationFallbackReportWait{2000};

// The started launcher's end, taken from the environment.
class CLXStarterLink {
public:
    // Reads and removes kszReadyFdEnv. Only an inherited pipe or FIFO open
    // for writing, above the standard descriptors, is taken (and made
    // close-on-exec); anything else is left untouched and Ignored() tells
    // why. To run before the launcher opens a descriptor of its own.
    static CLXStarterLink TakeFromEnvironment();

    // "<reason>: <value>" when the variable was set but not taken.
    const std::optional<std::string>& Ignored() const { return m_optIgnored; }
    // Tells the starter that a client is about to start, then closes. A
    // starter that stopped waiting costs nothing, neither signal nor wait.
    void ReportClientStarting();
    // Without a report: the starter sees the end, then the exit status.
    void Close() { m_fd.Reset(); }

private:
    CLXFileDescriptor m_fd;
    std::optional<std::string> m_optIgnored;
};

enum class FallbackEnd {
    CLIENT_STARTED, // reported: a client is starting somewhere down the chain
    ENDED,          // ended without reporting
    NO_REPORT,      // neither within the bound: an older launcher, or a slow one
};

struct FallbackOutcome {
    FallbackEnd enEnd = FallbackEnd::NO_REPORT;
    // With ENDED, as a shell gives it (128 + N for a signal); nullopt when
    // the status could not be had (another waiter took it).
    std::optional<int> optExitStatus;
};

// Waits, through interruptions, at most msBound for the started launcher
// nPid to report on nReportFd (the read end, made non-blocking; no write end
// may stay open here) or to end. A report wins over an end seen with it.
// The child is reaped only when it ended.
FallbackOutcome AwaitFallback(int nReportFd, pid_t nPid, std::chrono::milliseconds msBound);

// A wait status as a shell's $? gives it: the exit status, or 128 + N for
// a process killed by signal N.
int ShellExitStatus(int nWaitStatus);

} // namespace lx
