#include "LXHandOver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "LXText.h"
#include "LXWriteSignalsHeld.h"

namespace lx {

namespace {

// Where the process cannot be watched through a descriptor (before Linux
// 5.3, or refused), how often its end is asked for once the pipe is closed.
constexpr std::chrono::milliseconds kDurationExitPoll{5};

// A descriptor number above the standard ones, or -1.
int ParseHandedOverFd(std::string_view strText)
{
    constexpr size_t kUMaxDigits = 9; // stays within int
    int nFd = -1;
    return strText.size() <= kUMaxDigits && ReadWholeNumber(strText, nFd) && nFd > STDERR_FILENO ? nFd : -1;
}

bool IsPipeOpenForWriting(int nFd)
{
    struct stat st {};
    if (::fstat(nFd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
        return false;
    }
    const int nFlags = ::fcntl(nFd, F_GETFL);
    return nFlags != -1 && ((nFlags & O_ACCMODE) == O_WRONLY || (nFlags & O_ACCMODE) == O_RDWR);
}

} // namespace

CLXStarterLink CLXStarterLink::TakeFromEnvironment()
{
    CLXStarterLink link;
    const char* szValue = std::getenv(kszReadyFdEnv);
    if (szValue == nullptr) {
        return link;
    }
    const std::string strValue = szValue;
    ::unsetenv(kszReadyFdEnv);
    // Anything else may be the user's terminal or a file of theirs: never
    // written to, never closed.
    const int nFd = ParseHandedOverFd(strValue);
    if (nFd == -1) {
        link.m_optIgnored = "not a descriptor above 2: " + strValue;
    } else if (!IsPipeOpenForWriting(nFd)) {
        link.m_optIgnored = "not a pipe open for writing: " + strValue;
    } else {
        ::fcntl(nFd, F_SETFD, FD_CLOEXEC);
        link.m_fd = CLXFileDescriptor(nFd);
    }
    return link;
}

void CLXStarterLink::ReportClientStarting()
{
    if (m_fd.Get() < 0) {
        return;
    }
    const CLXWriteSignalsHeld held; // a starter gone must not end the launcher
    WriteAll(m_fd.Get(), "1");
    m_fd.Reset();
}

FallbackOutcome AwaitFallback(int nReportFd, pid_t nPid, std::chrono::milliseconds msBound)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point timeDeadline = Clock::now() + msBound;
    // Readable when the process ends, even while a descendant keeps the
    // pipe open.
    const CLXFileDescriptor fdProcess(static_cast<int>(::syscall(SYS_pidfd_open, nPid, 0)));
    const int nFlags = ::fcntl(nReportFd, F_GETFL);
    bool bPipeOpen = nFlags != -1 && ::fcntl(nReportFd, F_SETFL, nFlags | O_NONBLOCK) != -1;
    for (;;) {
        // The end first: all the child wrote is in the pipe by then.
        int nStatus = 0;
        const pid_t nWaited = ::waitpid(nPid, &nStatus, WNOHANG);
        const bool bEnded = nWaited == nPid || (nWaited == -1 && errno == ECHILD);
        while (bPipeOpen) {
            char chReport = 0;
            const ssize_t nRead = ::read(nReportFd, &chReport, 1);
            if (nRead == 1) {
                return {FallbackEnd::CLIENT_STARTED, std::nullopt};
            }
            if (nRead == -1 && errno == EINTR) {
                continue;
            }
            bPipeOpen = nRead == -1 && errno == EAGAIN;
            break;
        }
        if (bEnded) {
            return {FallbackEnd::ENDED, nWaited == nPid ? std::optional<int>(ShellExitStatus(nStatus)) : std::nullopt};
        }

        const auto msLeft = std::chrono::ceil<std::chrono::milliseconds>(timeDeadline - Clock::now());
        if (msLeft.count() <= 0) {
            return {FallbackEnd::NO_REPORT, std::nullopt};
        }
        pollfd arrPoll[2] = {};
        nfds_t uCount = 0;
        if (bPipeOpen) {
            arrPoll[uCount++] = {nReportFd, POLLIN, 0};
        }
        if (fdProcess.Get() >= 0) {
            arrPoll[uCount++] = {fdProcess.Get(), POLLIN, 0};
        }
        const auto msWait = uCount == 0 ? std::min(msLeft, kDurationExitPoll) : msLeft;
        // Interrupted or not, the loop asks again; a failing poll only waits.
        if (::poll(arrPoll, uCount, static_cast<int>(msWait.count())) == -1 && errno != EINTR) {
            ::poll(nullptr, 0, static_cast<int>(std::min(msLeft, kDurationExitPoll).count()));
        }
    }
}

int ShellExitStatus(int nWaitStatus)
{
    constexpr int kNSignalBase = 128;
    if (WIFSIGNALED(nWaitStatus)) {
        return kNSignalBase + WTERMSIG(nWaitStatus);
    }
    return WEXITSTATUS(nWaitStatus);
}

} // namespace lx
