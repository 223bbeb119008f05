#include "LXWriteWithoutSignal.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace lx {

ssize_t WriteWithoutSignal(int nFd, const void* pData, size_t uSize)
{
    sigset_t setWrite;
    ::sigemptyset(&setWrite);
    ::sigaddset(&setWrite, SIGPIPE);
    ::sigaddset(&setWrite, SIGXFSZ);
    sigset_t setSaved;
    ::pthread_sigmask(SIG_BLOCK, &setWrite, &setSaved);
    // One already pending was not raised here and stays.
    sigset_t setPendingBefore;
    ::sigpending(&setPendingBefore);

    const ssize_t nWritten = ::write(nFd, pData, uSize);
    const int nError = errno;
    // Both are sent to the writing thread, so they are pending here now.
    const int nRaised = nWritten != -1 ? 0 : nError == EPIPE ? SIGPIPE : nError == EFBIG ? SIGXFSZ : 0;
    if (nRaised != 0 && ::sigismember(&setPendingBefore, nRaised) == 0) {
        sigset_t setRaised;
        ::sigemptyset(&setRaised);
        ::sigaddset(&setRaised, nRaised);
        const timespec tsNoWait{};
        while (::sigtimedwait(&setRaised, nullptr, &tsNoWait) == -1 && errno == EINTR) {
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &setSaved, nullptr);
    errno = nError;
    return nWritten;
}

} // namespace lx
