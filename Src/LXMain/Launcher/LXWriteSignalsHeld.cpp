#include "LXWriteSignalsHeld.h"

#include <cerrno>
#include <ctime>
#include <initializer_list>

namespace lx {

namespace {

sigset_t WriteSignals()
{
    sigset_t setWrite;
    ::sigemptyset(&setWrite);
    ::sigaddset(&setWrite, SIGPIPE);
    ::sigaddset(&setWrite, SIGXFSZ);
    return setWrite;
}

} // namespace

CLXWriteSignalsHeld::CLXWriteSignalsHeld()
{
    const sigset_t setWrite = WriteSignals();
    ::pthread_sigmask(SIG_BLOCK, &setWrite, &m_setSaved);
    // One already pending was not raised here and stays.
    ::sigpending(&m_setPendingBefore);
}

CLXWriteSignalsHeld::~CLXWriteSignalsHeld()
{
    const int nSavedErrno = errno;
    // The kernel sends both to the writing thread, so one raised is pending
    // here now.
    sigset_t setPending;
    ::sigpending(&setPending);
    for (const int nSignal : {SIGPIPE, SIGXFSZ}) {
        if (::sigismember(&setPending, nSignal) == 1 && ::sigismember(&m_setPendingBefore, nSignal) == 0) {
            sigset_t setRaised;
            ::sigemptyset(&setRaised);
            ::sigaddset(&setRaised, nSignal);
            const timespec tsNoWait{};
            while (::sigtimedwait(&setRaised, nullptr, &tsNoWait) == -1 && errno == EINTR) {
            }
        }
    }
    ::pthread_sigmask(SIG_SETMASK, &m_setSaved, nullptr);
    errno = nSavedErrno;
}

} // namespace lx
