#pragma once

#include <signal.h>

namespace lx {

// While it lives, a write to a reader gone (EPIPE) or past a file-size limit
// (EFBIG) in this thread only fails, whatever the dispositions of SIGPIPE
// and SIGXFSZ: both are blocked in this thread, and one raised meanwhile is
// taken back before the mask is restored. The dispositions themselves
// belong to the client, which runs in this process, and are left alone.
class CLXWriteSignalsHeld {
public:
    CLXWriteSignalsHeld();
    ~CLXWriteSignalsHeld();
    CLXWriteSignalsHeld(const CLXWriteSignalsHeld&) = delete;
    CLXWriteSignalsHeld& operator=(const CLXWriteSignalsHeld&) = delete;

private:
    sigset_t m_setSaved;
    sigset_t m_setPendingBefore;
};

} // namespace lx
