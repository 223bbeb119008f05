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

// OpenSSH's rule for one directory: owned by this user (or by root when
// bRootMayOwn), not writable by others, and writable by its group only when
// that is the user's private group (the user's primary group, named after
// the user, with no other member, primary or listed).
std::error_code CheckPrivateDirectory(const struct stat& st, bool bRootMayOwn);
// A regular file owned by this user.
std::error_code CheckOwnRegularFile(const struct stat& st);

// A directory accepted by the walk below, with what a walk further down
// from it needs.
struct PrivateDirectory {
    CLXFileDescriptor fd; // O_PATH
    std::string strPath;  // as home and the relative path spell it
    std::string strWhere; // with links resolved
    int nDepth = 0;       // below home; -1 outside it
    struct stat stHome {};
};

// Opens strHome (owned by the user or root), then each directory of
// pathRelative below it, each checked with CheckPrivateDirectory. A link met
// on the way (in a directory that passed, and the user's or root's) is
// followed, and every directory its target leads through is checked the
// same way: the user's below home, the user's or root's elsewhere. With
// bCreate, missing ones, home included but not its parents, are made with
// mode 0700; without, a missing one ends the walk with ENOENT naming it. On
// failure the descriptor is closed and status tells what and where (the
// path with links resolved); on success status.strPath names the directory
// as strHome and pathRelative spell it.
CLXFileDescriptor OpenPrivateDirectory(const std::string& strHome, const std::filesystem::path& pathRelative,
                                       bool bCreate, LogPathStatus& status);
// The same in steps: home, then any walk down from a directory accepted,
// which need not check again what lies above it.
PrivateDirectory OpenPrivateHome(const std::string& strHome, bool bCreate, LogPathStatus& status);
PrivateDirectory OpenPrivateDirectory(const PrivateDirectory& base, const std::filesystem::path& pathRelative,
                                      bool bCreate, LogPathStatus& status);

// Accepts an entry of the directory that is absent or a regular file of this
// user, without following links.
std::error_code CheckAbsentOrOwnRegularFile(int nDirFd, const char* szName);

// Opens a regular file of this user in the directory for appending (and
// reading, to see how it ends), creating it with mode 0600: never through a
// link, never blocking on a FIFO or device, close-on-exec.
CLXFileDescriptor OpenOwnFileForAppend(int nDirFd, const char* szName, std::error_code& ec);

} // namespace lx
