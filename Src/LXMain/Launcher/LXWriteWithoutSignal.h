#pragma once

#include <sys/types.h>

#include <cstddef>

namespace lx {

// write(2) that a reader gone (EPIPE) or a file-size limit (EFBIG) only
// fails, whatever the dispositions of SIGPIPE and SIGXFSZ: both are blocked
// in this thread for the call, and one the call raised is taken back before
// the mask is restored. The dispositions themselves belong to the client,
// which runs in this process, and are left alone.
ssize_t WriteWithoutSignal(int nFd, const void* pData, size_t uSize);

} // namespace lx
