#include "LXPosix.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr size_t kUStatusRecordSize = 4;

// The child's report after a failed exec: the decimal errno text, zero
// padded to four bytes. Hand-formatted because only async-signal-safe code
// may run between fork and exec.
void FormatStatusRecord(int nError, char (&arrRecord)[kUStatusRecordSize])
{
    for (char& ch : arrRecord) {
        ch = '\0';
    }
    char arrDigits[kUStatusRecordSize] = {};
    size_t uCount = 0;
    unsigned int uValue = nError < 0 ? 0u : static_cast<unsigned int>(nError);
    do {
        arrDigits[uCount++] = static_cast<char>('0' + uValue % 10);
        uValue /= 10;
    } while (uValue != 0 && uCount < kUStatusRecordSize - 1);
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

// Above every hand-over's number, close-on-exec, so that placing one
// hand-over cannot overwrite the source of another or the status pipe.
lx::CLXFileDescriptor MovedAbove(int nFd, int nAbove)
{
    return lx::CLXFileDescriptor(::fcntl(nFd, F_DUPFD_CLOEXEC, nAbove));
}

} // namespace

namespace lx {

CLXFileDescriptor& CLXFileDescriptor::operator=(CLXFileDescriptor&& other) noexcept
{
    if (this != &other) {
        Reset();
        m_nFd = other.Release();
    }
    return *this;
}

void CLXFileDescriptor::Reset()
{
    if (m_nFd >= 0) {
        ::close(m_nFd);
        m_nFd = -1;
    }
}

bool WriteAll(int nFd, std::string_view strText)
{
    while (!strText.empty()) {
        const ssize_t nWritten = ::write(nFd, strText.data(), strText.size());
        if (nWritten < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        strText.remove_prefix(static_cast<size_t>(nWritten));
    }
    return true;
}

CArgv::CArgv(std::vector<std::string> vtStrArgs) : m_vtStrArgs(std::move(vtStrArgs))
{
    m_vtArgv.reserve(m_vtStrArgs.size() + 1);
    for (std::string& strArg : m_vtStrArgs) {
        m_vtArgv.push_back(strArg.data());
    }
    m_vtArgv.push_back(nullptr);
}

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

StartResult StartProcess(const fs::path& pathExe, const ProcessOptions& options)
{
    StartResult stResult;

    std::error_code ec;
    if (!fs::exists(fs::status(pathExe, ec))) {
        stResult.nExecError = ec ? ec.value() : ENOENT;
        return stResult;
    }

    // Built before the fork: the process may have threads by now (a client
    // library that loaded without its entry has run its initialisers), and
    // after fork only async-signal-safe calls are sound.
    std::vector<std::string> vtArgs;
    vtArgs.reserve(options.vtStrArgs.size() + 1);
    vtArgs.push_back(pathExe.native());
    vtArgs.insert(vtArgs.end(), options.vtStrArgs.begin(), options.vtStrArgs.end());
    CArgv argv(std::move(vtArgs));
    CArgv envp(options.vtStrEnv);
    const int nDescriptorLimit = DescriptorLimit();
    int nAbove = STDERR_FILENO + 1;
    for (const HandOver& handOver : options.vtHandOver) {
        nAbove = std::max(nAbove, handOver.nTarget + 1);
    }

    // Both ends close-on-exec from the start: a program another thread forks
    // and execs meanwhile does not keep them (its fork still copies them until
    // the exec), and our child's successful exec closes its write end.
    int nPipeDescriptors[2] = {-1, -1};
    if (::pipe2(nPipeDescriptors, O_CLOEXEC) == -1) {
        stResult.nExecError = errno;
        return stResult;
    }
    CLXFileDescriptor fdRead(nPipeDescriptors[0]);
    CLXFileDescriptor fdWrite = MovedAbove(nPipeDescriptors[1], nAbove);
    ::close(nPipeDescriptors[1]);
    std::vector<CLXFileDescriptor> vtMoved;
    for (const HandOver& handOver : options.vtHandOver) {
        vtMoved.push_back(MovedAbove(handOver.nFd, nAbove));
    }
    if (!fdWrite.IsOpen() ||
        std::any_of(vtMoved.begin(), vtMoved.end(), [](const CLXFileDescriptor& fd) { return !fd.IsOpen(); })) {
        stResult.nExecError = errno;
        return stResult;
    }

    // No handler of ours may run in the child before its dispositions are
    // reset, so every signal stays blocked across the fork.
    sigset_t setAll;
    sigset_t setSaved;
    ::sigfillset(&setAll);
    ::pthread_sigmask(SIG_SETMASK, &setAll, &setSaved);
    const pid_t nParent = ::getpid();
    const pid_t nPid = ::fork();
    if (nPid == 0) {
        ResetSignalsInChild();
        if (options.bNewProcessGroup) {
            ::setpgid(0, 0);
        }
        // Nothing of ours beyond the standard streams and the hand-overs may
        // reach the started program, whatever a loaded library opened without
        // close-on-exec; dup2's copy is not close-on-exec.
        MarkDescriptorsCloseOnExecInChild(nDescriptorLimit);
        for (size_t i = 0; i < vtMoved.size(); ++i) {
            ::dup2(vtMoved[i].Get(), options.vtHandOver[i].nTarget);
        }
        // Checked after the request: a parent that died before it is gone.
        if (!options.bDieWithParent || (::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::getppid() == nParent)) {
            ::execve(argv.Data()[0], argv.Data(), envp.Data());
        } else {
            errno = ESRCH;
        }

        char arrErrorBuffer[kUStatusRecordSize];
        FormatStatusRecord(errno, arrErrorBuffer);
        WriteAll(fdWrite.Get(), std::string_view(arrErrorBuffer, sizeof arrErrorBuffer));
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
    char arrBuffer[kUStatusRecordSize] = {};
    ssize_t nBytesRead;
    do {
        nBytesRead = ::read(fdRead.Get(), arrBuffer, sizeof arrBuffer);
    } while (nBytesRead == -1 && errno == EINTR);
    if (nBytesRead > 0) {
        stResult.nExecError = ParseStatusRecord(arrBuffer, static_cast<size_t>(nBytesRead));
    } else if (nBytesRead < 0) {
        stResult.nExecError = errno;
    }
    stResult.bStarted = nBytesRead == 0;
    if (nBytesRead > 0) {
        // The child is ending: reap it now, or every failed start of a scan
        // holds a process slot until the launcher ends.
        while (::waitpid(nPid, nullptr, 0) == -1 && errno == EINTR) {
        }
    }
    return stResult;
}

std::optional<UserEntry> LookUpUser(uid_t nUid)
{
    const long nBufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> vtBuffer(nBufferSize > 0 ? static_cast<size_t>(nBufferSize) : 16384);
    passwd stPasswd{};
    passwd* pResult = nullptr;
    if (::getpwuid_r(nUid, &stPasswd, vtBuffer.data(), vtBuffer.size(), &pResult) != 0 || pResult == nullptr) {
        return std::nullopt;
    }
    return UserEntry{pResult->pw_name != nullptr ? pResult->pw_name : "",
                     pResult->pw_dir != nullptr ? pResult->pw_dir : "", pResult->pw_gid};
}

std::optional<fs::path> SearchPath(const fs::path& pathName)
{
    const char* szPath = std::getenv("PATH");
    const std::string_view strPath = szPath != nullptr ? szPath : "/bin:/usr/bin";
    for (size_t uStart = 0; uStart <= strPath.size();) {
        const size_t uEnd = std::min(strPath.find(':', uStart), strPath.size());
        const fs::path pathEntry(strPath.substr(uStart, uEnd - uStart));
        uStart = uEnd + 1;
        if (!pathEntry.is_absolute()) {
            continue;
        }
        const fs::path pathCandidate = pathEntry / pathName;
        std::error_code ec;
        if (fs::is_regular_file(pathCandidate, ec) && ::access(pathCandidate.c_str(), X_OK) == 0) {
            return pathCandidate;
        }
    }
    return std::nullopt;
}

// A launch from a bare environment (no "HOME", or an empty one) still keeps
// its log.
std::string HomeDirectory()
{
    if (const char* szHome = std::getenv("HOME"); szHome != nullptr && *szHome != '\0') {
        return szHome;
    }
    const std::optional<UserEntry> optUser = LookUpUser(::getuid());
    return optUser ? optUser->strHome : std::string();
}

} // namespace lx
