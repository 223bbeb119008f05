#include "LXLogFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace fs = std::filesystem;

namespace {

class CLXLogFileCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "log file"; }
    std::string message(int nValue) const override
    {
        switch (static_cast<lx::LogFileError>(nValue)) {
        case lx::LogFileError::NotADirectory:
            return "not a directory (links are not followed)";
        case lx::LogFileError::NotARegularFile:
            return "not a regular file (links are not followed)";
        case lx::LogFileError::WrongOwner:
            return "owned by another user";
        case lx::LogFileError::WritableByOthers:
            return "writable by group or others";
        }
        return "unknown log file error";
    }
};

std::error_code LastError()
{
    return {errno, std::generic_category()};
}

} // namespace

namespace lx {

const std::error_category& LogFileCategory()
{
    static const CLXLogFileCategory s_category;
    return s_category;
}

std::error_code make_error_code(LogFileError enError)
{
    return {static_cast<int>(enError), LogFileCategory()};
}

std::error_code CheckPrivateDirectory(const struct stat& st, bool bRootMayOwn)
{
    if (!S_ISDIR(st.st_mode)) {
        return LogFileError::NotADirectory;
    }
    if (st.st_uid != ::geteuid() && !(bRootMayOwn && st.st_uid == 0)) {
        return LogFileError::WrongOwner;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return LogFileError::WritableByOthers;
    }
    return {};
}

std::error_code CheckOwnRegularFile(const struct stat& st)
{
    if (!S_ISREG(st.st_mode)) {
        return LogFileError::NotARegularFile;
    }
    if (st.st_uid != ::geteuid()) {
        return LogFileError::WrongOwner;
    }
    return {};
}

CLXFileDescriptor OpenPrivateDirectory(const std::string& strHome, const fs::path& pathRelative, bool bCreate,
                                       LogPathStatus& status)
{
    status = {};
    status.strPath = strHome;
    if (strHome.empty()) {
        status.ec = std::make_error_code(std::errc::no_such_file_or_directory);
        return {};
    }
    // O_PATH: a check needs no read permission and opens nothing for I/O.
    // Home itself may be a link: where it lies is the user's own choice.
    int nFd = ::open(strHome.c_str(), O_PATH | O_CLOEXEC);
    // A home not made yet is made like the rest, but not its parents.
    if (nFd == -1 && errno == ENOENT && bCreate && (::mkdir(strHome.c_str(), 0700) == 0 || errno == EEXIST)) {
        nFd = ::open(strHome.c_str(), O_PATH | O_CLOEXEC);
    }
    CLXFileDescriptor fdDir;
    bool bRootMayOwn = true;
    for (auto itComponent = pathRelative.begin();; ++itComponent) {
        if (nFd == -1) {
            status.ec = LastError();
            return {};
        }
        // Held open from here on, so nothing can be swapped in between the
        // check and the use.
        fdDir = CLXFileDescriptor(nFd);
        struct stat st {};
        if (::fstat(fdDir.Get(), &st) != 0) {
            status.ec = LastError();
            return {};
        }
        if (status.ec = CheckPrivateDirectory(st, bRootMayOwn); status.ec) {
            return {};
        }
        if (itComponent == pathRelative.end()) {
            return fdDir;
        }
        bRootMayOwn = false;
        const char* szName = itComponent->c_str();
        status.strPath += "/" + itComponent->native();
        if (bCreate && ::mkdirat(fdDir.Get(), szName, 0700) != 0 && errno != EEXIST) {
            status.ec = LastError();
            return {};
        }
        nFd = ::openat(fdDir.Get(), szName, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    }
}

std::error_code CheckAbsentOrOwnRegularFile(int nDirFd, const char* szName)
{
    struct stat st {};
    if (::fstatat(nDirFd, szName, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno == ENOENT ? std::error_code() : LastError();
    }
    return CheckOwnRegularFile(st);
}

CLXFileDescriptor OpenOwnFileForAppend(int nDirFd, const char* szName, std::error_code& ec)
{
    ec.clear();
    CLXFileDescriptor fd(::openat(nDirFd, szName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                                  S_IRUSR | S_IWUSR));
    if (!fd.IsOpen()) {
        ec = errno == ELOOP ? make_error_code(LogFileError::NotARegularFile) : LastError();
        return {};
    }
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        ec = LastError();
        return {};
    }
    if (ec = CheckOwnRegularFile(st); ec) {
        return {};
    }
    // O_NONBLOCK only had to keep the open from waiting.
    (void)::fcntl(fd.Get(), F_SETFL, O_APPEND);
    return fd;
}

} // namespace lx
