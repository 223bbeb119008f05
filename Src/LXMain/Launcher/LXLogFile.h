#pragma once

// Opening a log file only where no other user can reach it: the checks are
// separate from the opening, so a read-only diagnosis can apply the same rules.

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <type_traits>

#include "LXPosix.h"

namespace lx {

// Why a log location is refused, where errno has no word for it.
enum class LogFileError {
    NotADirectory = 1,
    NotARegularFile,
    WrongOwner,
    WritableByOthers,
};

const std::error_category& LogFileCategory();
std::error_code make_error_code(LogFileError enError);

} // namespace lx

template <>
struct std::is_error_code_enum<lx::LogFileError> : std::true_type {};

namespace lx {

// What a check found: an empty ec when accepted, else the path it is about.
struct LogPathStatus {
    std::error_code ec;
    std::string strPath;
};

// OpenSSH's StrictModes rule for one directory: owned by this user (or by
// root when bRootMayOwn), not writable by group or others.
std::error_code CheckPrivateDirectory(const struct stat& st, bool bRootMayOwn);
// A regular file owned by this user.
std::error_code CheckOwnRegularFile(const struct stat& st);

// Opens strHome (owned by the user or root), then each directory of
// pathRelative below it without following links, each checked with
// CheckPrivateDirectory. With bCreate, missing ones, home included but not
// its parents, are made with mode 0700; without, a missing one ends the walk
// with ENOENT naming it. On failure the descriptor is closed and status
// tells what and where; on success status.strPath names the directory.
CLXFileDescriptor OpenPrivateDirectory(const std::string& strHome, const std::filesystem::path& pathRelative,
                                       bool bCreate, LogPathStatus& status);

// Accepts an entry of the directory that is absent or a regular file of this
// user, without following links.
std::error_code CheckAbsentOrOwnRegularFile(int nDirFd, const char* szName);

// Opens a regular file of this user in the directory for appending, creating
// it with mode 0600: never through a link, never blocking on a FIFO or
// device, close-on-exec.
CLXFileDescriptor OpenOwnFileForAppend(int nDirFd, const char* szName, std::error_code& ec);

} // namespace lx
