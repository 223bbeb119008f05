#include "LXLaunchProcess.h"

#include <fcntl.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include <spdlog/spdlog.h>

#include "LXProcessUtil.h"

namespace fs = std::filesystem;

namespace {

// Owns one descriptor. close() is never retried: on Linux the descriptor is
// released even when close reports EINTR.
class CUniqueFd {
public:
    CUniqueFd() = default;
    explicit CUniqueFd(int nFd) : m_nFd(nFd) {}
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    ~CUniqueFd() { Reset(); }

    int Get() const { return m_nFd; }
    void Reset()
    {
        if (m_nFd >= 0) {
            ::close(m_nFd);
            m_nFd = -1;
        }
    }

private:
    int m_nFd = -1;
};

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

} // namespace

namespace lx {

SpawnResult SpawnDetached(const fs::path& exePath, const std::vector<std::string>& vtStrArgs)
{
    SpawnResult stResult;

    std::error_code ec;
    if (!fs::exists(fs::status(exePath, ec))) {
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

    // Both ends close-on-exec from the start: a program another thread forks
    // and execs meanwhile does not keep them (its fork still copies them until
    // the exec), and our child's successful exec closes its write end.
    int nPipeDescriptors[2] = {-1, -1};
    if (::pipe2(nPipeDescriptors, O_CLOEXEC) == -1) {
        return stResult;
    }
    CUniqueFd fdRead(nPipeDescriptors[0]);
    CUniqueFd fdWrite(nPipeDescriptors[1]);

    const pid_t nPid = ::fork();
    if (nPid == 0) {
        // Nothing of ours beyond the standard streams may reach the started
        // program, whatever a loaded library opened without close-on-exec.
        ::syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC);
        ::execvp(argv.Data()[0], argv.Data());

        char arrErrorBuffer[kuStatusRecordSize];
        FormatStatusRecord(errno, arrErrorBuffer);
        ::close(fdRead.Get());
        WriteAllInChild(fdWrite.Get(), arrErrorBuffer, sizeof arrErrorBuffer);
        ::close(fdWrite.Get());
        // _exit: the launcher's exit handlers and buffered log records must
        // not run a second time in the child.
        ::_exit(-1);
    }
    if (nPid == -1) {
        return stResult;
    }
    stResult.nPid = nPid;

    // Our copy of the write end must go first, or the read never sees EOF.
    fdWrite.Reset();
    char arrBuffer[kuStatusRecordSize] = {};
    const ssize_t nBytesRead = ReadRetryingOnInterrupt(fdRead.Get(), arrBuffer, sizeof arrBuffer);
    if (nBytesRead > 0) {
        stResult.nExecError = ParseStatusRecord(arrBuffer, static_cast<size_t>(nBytesRead));
    }
    stResult.bStarted = nBytesRead == 0;
    return stResult;
}

} // namespace lx

bool CLXLaunchProcess::Invoke(const fs::path& exePath, const std::vector<std::string>& vtStrArgs)
{
    SPDLOG_INFO("Invoke Process: {}", exePath.generic_string());
    return lx::SpawnDetached(exePath, vtStrArgs).bStarted;
}
