#include "LXRotatingLogSink.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

namespace lx {

namespace {

// Long enough for any launcher's rotation, short enough that one stopped
// while holding the lock only costs a second once.
constexpr std::chrono::milliseconds kDurationLockPatience{1000};
constexpr std::chrono::milliseconds kDurationLockRetry{1};

bool IsSameFile(const struct stat& stLhs, const struct stat& stRhs)
{
    return stLhs.st_dev == stRhs.st_dev && stLhs.st_ino == stRhs.st_ino;
}

// One write: with O_APPEND a record lands whole after whatever any process
// wrote; a remainder written later could land after another's record.
void WriteWhole(int nFd, std::string_view svRecord)
{
    while (::write(nFd, svRecord.data(), svRecord.size()) == -1 && errno == EINTR) {
    }
}

} // namespace

std::string CLXRotatingLogSink::FileName(const Layout& layout, uint32_t u32Index)
{
    if (u32Index == 0) {
        return layout.strBaseName + layout.strExtension;
    }
    return layout.strBaseName + "." + std::to_string(u32Index) + layout.strExtension;
}

CLXRotatingLogSink::CLXRotatingLogSink(CLXFileDescriptor fdDirectory, Layout layout)
    : m_fdDirectory(std::move(fdDirectory)), m_layout(std::move(layout)), m_strLogName(FileName(m_layout, 0)),
      m_strLockName(LockFileName(m_layout))
{}

std::shared_ptr<CLXRotatingLogSink> CLXRotatingLogSink::Open(CLXFileDescriptor fdDirectory, Layout layout,
                                                             std::error_code& ec)
{
    std::shared_ptr<CLXRotatingLogSink> spSink(new CLXRotatingLogSink(std::move(fdDirectory), std::move(layout)));
    const int nDirFd = spSink->m_fdDirectory.Get();
    spSink->m_fdLock = OpenOwnFileForAppend(nDirFd, spSink->m_strLockName.c_str(), ec);
    if (!ec) {
        spSink->m_fdLog = OpenOwnFileForAppend(nDirFd, spSink->m_strLogName.c_str(), ec);
    }
    return ec ? nullptr : spSink;
}

void CLXRotatingLogSink::sink_it_(const spdlog::details::log_msg& msg)
{
    spdlog::memory_buf_t buffer;
    formatter_->format(msg, buffer);
    WriteRecord(std::string_view(buffer.data(), buffer.size()));
}

// A record that cannot be placed safely is dropped: the client never waits
// on the log for more than the lock's patience.
void CLXRotatingLogSink::WriteRecord(std::string_view svRecord)
{
    struct stat st {};
    if (IsCurrent(st) && Fits(st, svRecord.size())) {
        WriteWhole(m_fdLog.Get(), svRecord);
        return;
    }
    if (!LockRotation()) {
        return;
    }
    if (PrepareUnderLock(svRecord.size())) {
        WriteWhole(m_fdLog.Get(), svRecord);
    }
    (void)::flock(m_fdLock.Get(), LOCK_UN);
}

bool CLXRotatingLogSink::Fits(const struct stat& st, size_t uSize) const
{
    return st.st_size == 0 || static_cast<uint64_t>(st.st_size) + uSize <= m_layout.u64MaxSize;
}

// Reopens a file another process rotated (or the user removed), then
// rotates if the record does not fit the file as it is on disk now.
bool CLXRotatingLogSink::PrepareUnderLock(size_t uSize)
{
    std::error_code ec;
    struct stat st {};
    if (!IsCurrent(st)) {
        m_fdLog = OpenOwnFileForAppend(m_fdDirectory.Get(), m_strLogName.c_str(), ec);
        if (ec || ::fstat(m_fdLog.Get(), &st) != 0) {
            return false;
        }
    }
    if (Fits(st, uSize)) {
        return true;
    }
    if (!Rotate()) {
        return false;
    }
    m_fdLog = OpenOwnFileForAppend(m_fdDirectory.Get(), m_strLogName.c_str(), ec);
    return !ec;
}

// Whether our descriptor still is the file under the log's name.
bool CLXRotatingLogSink::IsCurrent(struct stat& st) const
{
    struct stat stPath {};
    return m_fdLog.IsOpen() && ::fstat(m_fdLog.Get(), &st) == 0 &&
           ::fstatat(m_fdDirectory.Get(), m_strLogName.c_str(), &stPath, AT_SYMLINK_NOFOLLOW) == 0 &&
           IsSameFile(st, stPath);
}

bool CLXRotatingLogSink::LockRotation()
{
    const auto timeDeadline =
        std::chrono::steady_clock::now() + (m_bLockTimedOut ? std::chrono::milliseconds(0) : kDurationLockPatience);
    for (;;) {
        std::error_code ec;
        if (!m_fdLock.IsOpen()) {
            m_fdLock = OpenOwnFileForAppend(m_fdDirectory.Get(), m_strLockName.c_str(), ec);
        }
        if (ec) {
            return false;
        }
        if (::flock(m_fdLock.Get(), LOCK_EX | LOCK_NB) == 0) {
            // A lock file removed and made anew would let two processes in.
            struct stat stHeld {};
            struct stat stPath {};
            if (::fstat(m_fdLock.Get(), &stHeld) == 0 &&
                ::fstatat(m_fdDirectory.Get(), m_strLockName.c_str(), &stPath, AT_SYMLINK_NOFOLLOW) == 0 &&
                IsSameFile(stHeld, stPath)) {
                return true;
            }
            m_fdLock.Reset();
        } else if (errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        if (std::chrono::steady_clock::now() >= timeDeadline) {
            m_bLockTimedOut = true;
            return false;
        }
        std::this_thread::sleep_for(kDurationLockRetry);
    }
}

// Never renames onto or through anything but the user's own regular files:
// a link or a foreign file under a rotated name stops the rotation.
bool CLXRotatingLogSink::Rotate()
{
    for (uint32_t u32Index = 1; u32Index <= m_layout.u32MaxFiles; ++u32Index) {
        if (CheckAbsentOrOwnRegularFile(m_fdDirectory.Get(), FileName(m_layout, u32Index).c_str())) {
            return false;
        }
    }
    for (uint32_t u32Index = m_layout.u32MaxFiles; u32Index > 0; --u32Index) {
        if (!MoveUp(u32Index - 1)) {
            return false;
        }
    }
    return true;
}

// Only the oldest name is ever replaced; every other move goes to a free
// name, so a failure half way loses nothing.
bool CLXRotatingLogSink::MoveUp(uint32_t u32From)
{
    const int nDirFd = m_fdDirectory.Get();
    const std::string strFrom = FileName(m_layout, u32From);
    const std::string strTo = FileName(m_layout, u32From + 1);
    const auto rename = [&](unsigned int uFlags) {
        return ::renameat2(nDirFd, strFrom.c_str(), nDirFd, strTo.c_str(), uFlags) == 0 ? 0 : errno;
    };
    int nError = rename(u32From + 1 == m_layout.u32MaxFiles ? 0 : RENAME_NOREPLACE);
    struct stat st {};
    if (nError == EINVAL && ::fstatat(nDirFd, strTo.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        // A file system without RENAME_NOREPLACE; the name is free and only
        // launchers, all waiting on the lock, move files here.
        nError = rename(0);
    }
    // A rotated name not yet used is nothing to move; the live file is.
    return nError == 0 || (nError == ENOENT && u32From > 0);
}

} // namespace lx
