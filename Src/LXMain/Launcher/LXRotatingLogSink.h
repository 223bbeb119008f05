#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>

#include <spdlog/sinks/base_sink.h>

#include "LXLogFile.h"

namespace lx {

// A size-rotated log that every process of the user may write at once. Each
// record is one write(2) with O_APPEND: nothing waits in a buffer, and
// records of different processes never mix. The decision to rotate and the
// renames happen under an flock on "<log>.lock" after re-reading the file on
// disk, so a full file rotates once however many processes see it full, and
// a process whose file was rotated by another reopens. A file exceeds the
// limit by at most one record per process that wrote just as another
// rotated.
class CLXRotatingLogSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    struct Layout {
        std::string strBaseName;  // "Launcher": Launcher.log, Launcher.1.log, ...
        std::string strExtension; // ".log"
        uint64_t u64MaxSize = 0;
        uint32_t u32MaxFiles = 1; // rotated files kept, at least one
    };

    // The live file for index 0, else the rotated one of that age.
    static std::string FileName(const Layout& layout, uint32_t u32Index);
    static std::string LockFileName(const Layout& layout) { return FileName(layout, 0) + ".lock"; }

    // Takes the log directory, already checked, and opens the log and its
    // lock in it; nullptr and ec when either is refused.
    static std::shared_ptr<CLXRotatingLogSink> Open(CLXFileDescriptor fdDirectory, Layout layout, std::error_code& ec);

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override {} // every record is written at once

private:
    CLXRotatingLogSink(CLXFileDescriptor fdDirectory, Layout layout);

    void WriteRecord(std::string_view svRecord);
    bool Fits(const struct stat& st, size_t uSize) const;
    bool PrepareUnderLock(size_t uSize);
    bool IsCurrent(struct stat& st) const;
    bool LockRotation();
    bool Rotate();
    bool MoveUp(uint32_t u32From);

    CLXFileDescriptor m_fdDirectory;
    CLXFileDescriptor m_fdLog;
    CLXFileDescriptor m_fdLock;
    Layout m_layout;
    std::string m_strLogName;
    std::string m_strLockName;
    bool m_bLockTimedOut = false;
};

} // namespace lx
