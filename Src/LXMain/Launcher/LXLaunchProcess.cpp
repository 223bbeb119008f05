#include "LXLaunchProcess.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <system_error>

#include <spdlog/spdlog.h>

#include "LXFallback.h"
#include "LXProcessUtil.h"

namespace fs = std::filesystem;

using lx::CUniqueFd;
using lx::DescriptorHandOver;

namespace {

constexpr size_t kuStatusRecordSize = 4;

// The child's report after a failed exec: the decimal errno text, zero
// padded to four bytes. Hand-formatted because only async-signal-safe code
// may run between fork and exec.
void FormatStatusRecord(int nError, char (&arrRecord)[kuStatusRecordSize])
{
    for (char& ch : arrRecord) {
        ch = '\0';
    }
    char arrDigits[kuStatusRecordSize] = {};
    size_t uCount = 0;
    unsigned int uValue = nError < 0 ? 0u : static_cast<unsigned int>(nError);
    do {
        arrDigits[uCount++] = static_cast<char>('0' + uValue % 10);
        uValue /= 10;
    } while (uValue != 0 && uCount < kuStatusRecordSize - 1);
    for (size_t i = 0; i < uCount; ++i) {
        arrRecord[i] = arrDigits[uCount - 1 - i];
    }
}

int ParseStatusRecord(const char* pRecord, size_t uSize)
{
    int nError = 0;
    for (size_t i = 0; i < uSize && pRecord[i] >= '0' && pRecord[i] <= '9'; ++i) {
        nError = nError * 10 + (pRecord[i] - '0');
    }
    return nError;
}

ssize_t ReadRetryingOnInterrupt(int nFd, char* pBuffer, size_t uSize)
{
    ssize_t nRead;
    do {
        nRead = ::read(nFd, pBuffer, uSize);
    } while (nRead == -1 && errno == EINTR);
    return nRead;
}

void WriteAllInChild(int nFd, const char* pData, size_t uSize)
{
    while (uSize > 0) {
        const ssize_t nWritten = ::write(nFd, pData, uSize);
        if (nWritten == -1) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        pData += nWritten;
        uSize -= static_cast<size_t>(nWritten);
    }
}

// Read before the fork: the child may only make async-signal-safe calls.
int DescriptorLimit()
{
    constexpr int kNFallbackLimit = 1024;
    rlimit stLimit{};
    if (::getrlimit(RLIMIT_NOFILE, &stLimit) == 0 && stLimit.rlim_cur != RLIM_INFINITY) {
        return static_cast<int>(std::min<rlim_t>(stLimit.rlim_cur, INT_MAX));
    }
    const long nOpenMax = ::sysconf(_SC_OPEN_MAX);
    return nOpenMax > 0 ? static_cast<int>(std::min<long>(nOpenMax, INT_MAX)) : kNFallbackLimit;
}

// In the child. close_range needs Linux 5.11 and a seccomp filter may refuse
// it; then every descriptor below the limit is marked one by one.
void MarkDescriptorsCloseOnExecInChild(int nLimit)
{
    if (::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) == 0) {
        return;
    }
    for (int nFd = 3; nFd < nLimit; ++nFd) {
        ::fcntl(nFd, F_SETFD, FD_CLOEXEC);
    }
}

// In the child: each source onto its target, without close-on-exec. Every
// source is first copied above all the numbers involved, so that no target
// replaces a source still to be handed over; the copies close at the exec.
bool HandOverInChild(DescriptorHandOver* pHandOver, size_t uCount, int nAbove)
{
    for (size_t i = 0; i < uCount; ++i) {
        pHandOver[i].nSource = ::fcntl(pHandOver[i].nSource, F_DUPFD_CLOEXEC, nAbove);
        if (pHandOver[i].nSource == -1) {
            return false;
        }
    }
    for (size_t i = 0; i < uCount; ++i) {
        if (::dup2(pHandOver[i].nSource, pHandOver[i].nTarget) == -1) {
            return false;
        }
    }
    return true;
}

// Keeps a descriptor of ours clear of every number handed over.
bool MoveAbove(CUniqueFd& fd, int nAbove)
{
    if (fd.Get() >= nAbove) {
        return true;
    }
    CUniqueFd fdMoved(::fcntl(fd.Get(), F_DUPFD_CLOEXEC, nAbove));
    if (fdMoved.Get() == -1) {
        return false;
    }
    fd = std::move(fdMoved);
    return true;
}

// In the child, whose signals are all blocked: whatever a loaded library
// installed or ignored must not reach the started program, and only then
// may signals arrive.
void ResetSignalsInChild()
{
    struct sigaction stDefault {};
    stDefault.sa_handler = SIG_DFL;
    ::sigemptyset(&stDefault.sa_mask);
    for (int nSignal = 1; nSignal < _NSIG; ++nSignal) {
        if (nSignal != SIGKILL && nSignal != SIGSTOP) {
            ::sigaction(nSignal, &stDefault, nullptr); // fails for the C library's own: fine
        }
    }
    sigset_t setEmpty;
    ::sigemptyset(&setEmpty);
    ::sigprocmask(SIG_SETMASK, &setEmpty, nullptr);
}

} // namespace

namespace lx {

std::vector<std::string> CurrentEnvironment()
{
    std::vector<std::string> vtEnv;
    for (char** ppEntry = environ; ppEntry != nullptr && *ppEntry != nullptr; ++ppEntry) {
        vtEnv.emplace_back(*ppEntry);
    }
    return vtEnv;
}

std::vector<std::string> EnvironmentWith(std::string_view strName, std::string_view strValue,
                                         std::vector<std::string> vtBase)
{
    const std::string strPrefix = std::string(strName) + "=";
    std::vector<std::string> vtEnv = std::move(vtBase);
    std::erase_if(vtEnv, [&](const std::string& strEntry) { return strEntry.rfind(strPrefix, 0) == 0; });
    vtEnv.push_back(strPrefix + std::string(strValue));
    return vtEnv;
}

SpawnResult SpawnDetached(const fs::path& exePath, const std::vector<std::string>& vtStrArgs,
                          const std::vector<std::string>& vtStrEnv, const std::vector<DescriptorHandOver>& vtHandOver)
{
    SpawnResult stResult;

    std::error_code ec;
    if (!fs::exists(fs::status(exePath, ec))) {
        stResult.nExecError = ec ? ec.value() : ENOENT;
        return stResult;
    }

    // Built before the fork: the process may have threads by now (a client
    // library that loaded without its entry has run its initialisers), and
    // after fork only async-signal-safe calls are sound.
    std::vector<std::string> vtArgs;
    vtArgs.reserve(vtStrArgs.size() + 1);
    vtArgs.push_back(exePath.native());
    vtArgs.insert(vtArgs.end(), vtStrArgs.begin(), vtStrArgs.end());
    CArgv argv(std::move(vtArgs));
    CArgv envp(vtStrEnv);
    const int nDescriptorLimit = DescriptorLimit();
    std::vector<DescriptorHandOver> vtMoves = vtHandOver;
    int nAbove = STDERR_FILENO + 1;
    for (const DescriptorHandOver& stHandOver : vtHandOver) {
        nAbove = std::max({nAbove, stHandOver.nSource + 1, stHandOver.nTarget + 1});
    }

    // Both ends close-on-exec from the start: a program another thread forks
    // and execs meanwhile does not keep them (its fork still copies them until
    // the exec), and our child's successful exec closes its write end.
    int nPipeDescriptors[2] = {-1, -1};
    if (::pipe2(nPipeDescriptors, O_CLOEXEC) == -1) {
        stResult.nExecError = errno;
        return stResult;
    }
    CUniqueFd fdRead(nPipeDescriptors[0]);
    CUniqueFd fdWrite(nPipeDescriptors[1]);
    if (!vtHandOver.empty() && !MoveAbove(fdWrite, nAbove)) {
        stResult.nExecError = errno;
        return stResult;
    }

    // No handler of ours may run in the child before its dispositions are
    // reset, so every signal stays blocked across the fork.
    sigset_t setAll;
    sigset_t setSaved;
    ::sigfillset(&setAll);
    ::pthread_sigmask(SIG_SETMASK, &setAll, &setSaved);
    const pid_t nPid = ::fork();
    if (nPid == 0) {
        ResetSignalsInChild();
        // Nothing of ours beyond the standard streams may reach the started
        // program, whatever a loaded library opened without close-on-exec.
        MarkDescriptorsCloseOnExecInChild(nDescriptorLimit);
        if (HandOverInChild(vtMoves.data(), vtMoves.size(), nAbove)) {
            ::execve(argv.Data()[0], argv.Data(), envp.Data());
        }

        char arrErrorBuffer[kuStatusRecordSize];
        FormatStatusRecord(errno, arrErrorBuffer);
        ::close(fdRead.Get());
        WriteAllInChild(fdWrite.Get(), arrErrorBuffer, sizeof arrErrorBuffer);
        ::close(fdWrite.Get());
        // _exit: the launcher's exit handlers and buffered log records must
        // not run a second time in the child.
        ::_exit(-1);
    }
    const int nForkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &setSaved, nullptr);
    if (nPid == -1) {
        stResult.nExecError = nForkError;
        return stResult;
    }
    stResult.nPid = nPid;

    // Our copy of the write end must go first, or the read never sees EOF.
    fdWrite.Reset();
    char arrBuffer[kuStatusRecordSize] = {};
    const ssize_t nBytesRead = ReadRetryingOnInterrupt(fdRead.Get(), arrBuffer, sizeof arrBuffer);
    if (nBytesRead > 0) {
        stResult.nExecError = ParseStatusRecord(arrBuffer, static_cast<size_t>(nBytesRead));
    } else if (nBytesRead < 0) {
        stResult.nExecError = errno;
    }
    stResult.bStarted = nBytesRead == 0;
    return stResult;
}

} // namespace lx

lx::SpawnResult CLXLaunchProcess::Start(const fs::path& exePath, const std::vector<std::string>& vtStrArgs,
                                        const std::vector<std::string>& vtStrEnv,
                                        const std::vector<lx::DescriptorHandOver>& vtHandOver)
{
    SPDLOG_INFO("Invoke Process: {}", lx::EscapeControlCharacters(exePath.generic_string()));
    return lx::SpawnDetached(exePath, vtStrArgs, vtStrEnv, vtHandOver);
}

bool CLXLaunchProcess::Invoke(const fs::path& exePath, const std::vector<std::string>& vtStrArgs)
{
    return Start(exePath, vtStrArgs, lx::CurrentEnvironment()).bStarted;
}
