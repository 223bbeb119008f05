#include "LXLogFile.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <vector>

namespace fs = std::filesystem;

namespace {

class CLXLogFileCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "log file"; }
    std::string message(int nValue) const override
    {
        switch (static_cast<lx::LogFileError>(nValue)) {
        case lx::LogFileError::NotADirectory:
            return "not a directory";
        case lx::LogFileError::NotARegularFile:
            return "not a regular file (links are not followed)";
        case lx::LogFileError::WrongOwner:
            return "owned by another user";
        case lx::LogFileError::WritableByOthers:
            return "writable by others or by a group that is not the user's own";
        }
        return "unknown log file error";
    }
};

// As many links as the kernel follows in one lookup.
constexpr int kNLinkLimit = 40;

std::error_code LastError()
{
    return {errno, std::generic_category()};
}

bool IsSameFile(const struct stat& stLhs, const struct stat& stRhs)
{
    return stLhs.st_dev == stRhs.st_dev && stLhs.st_ino == stRhs.st_ino;
}

// The user's private group: the user's primary group, named after the user,
// listing no other member, and no other user's primary group.
bool IsPrivateGroupOf(uid_t uid, gid_t gid)
{
    const std::optional<lx::UserEntry> optUser = lx::LookUpUser(uid);
    if (!optUser || optUser->nGid != gid) {
        return false;
    }
    const std::string& strUser = optUser->strName;
    std::vector<char> vtGroupBuffer(16384);
    group stGroup{};
    group* pGroup = nullptr;
    int nError;
    while ((nError = ::getgrgid_r(gid, &stGroup, vtGroupBuffer.data(), vtGroupBuffer.size(), &pGroup)) == ERANGE &&
           vtGroupBuffer.size() < (1u << 24)) {
        vtGroupBuffer.resize(vtGroupBuffer.size() * 2);
    }
    if (nError != 0 || pGroup == nullptr || strUser != pGroup->gr_name) {
        return false;
    }
    for (char** ppMember = pGroup->gr_mem; *ppMember != nullptr; ++ppMember) {
        if (strUser != *ppMember) {
            return false;
        }
    }
    // Nobody else may have it as primary group; an entry that cannot be read
    // counts as someone else.
    bool bAlone = true;
    std::vector<char> vtBuffer(16384);
    ::setpwent();
    for (;;) {
        passwd stOther{};
        passwd* pOther = nullptr;
        nError = ::getpwent_r(&stOther, vtBuffer.data(), vtBuffer.size(), &pOther);
        if (nError == ENOENT) {
            break;
        }
        if (nError != 0 || pOther == nullptr || (pOther->pw_gid == gid && pOther->pw_uid != uid)) {
            bAlone = false;
            break;
        }
    }
    ::endpwent();
    return bAlone;
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
    const uid_t uid = ::geteuid();
    if (st.st_uid != uid && !(bRootMayOwn && st.st_uid == 0)) {
        return LogFileError::WrongOwner;
    }
    if ((st.st_mode & S_IWOTH) != 0 ||
        ((st.st_mode & S_IWGRP) != 0 && !(st.st_uid == uid && IsPrivateGroupOf(uid, st.st_gid)))) {
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

PrivateDirectory OpenPrivateHome(const std::string& strHome, bool bCreate, LogPathStatus& status)
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
    // Held open from here on, so nothing can be swapped in between the check
    // and the use.
    PrivateDirectory home;
    home.fd = CLXFileDescriptor(nFd);
    if (!home.fd.IsOpen() || ::fstat(home.fd.Get(), &home.stHome) != 0) {
        status.ec = LastError();
        return {};
    }
    if (status.ec = CheckPrivateDirectory(home.stHome, true); status.ec) {
        return {};
    }
    home.strPath = home.strWhere = strHome;
    return home;
}

PrivateDirectory OpenPrivateDirectory(const PrivateDirectory& base, const fs::path& pathRelative, bool bCreate,
                                      LogPathStatus& status)
{
    status = {};
    status.strPath = base.strPath;
    // The names still to walk, the next one last; a link's target takes the
    // link's place. Depth below home: 0 is home, -1 anywhere outside it,
    // where root may own a directory too.
    std::vector<std::string> vtStrPending;
    const auto pushReversed = [&](const fs::path& path) {
        for (auto itComponent = path.end(); itComponent != path.begin();) {
            if (--itComponent; !itComponent->has_root_directory()) {
                vtStrPending.push_back(itComponent->native());
            }
        }
    };
    pushReversed(pathRelative);
    PrivateDirectory dir;
    dir.stHome = base.stHome;
    int nDirFd = base.fd.Get(); // dir.fd once the walk has left base
    std::string strWhere = base.strWhere; // its path, links resolved
    int nDepth = base.nDepth;
    int nLinks = 0;
    while (!vtStrPending.empty()) {
        const std::string strName = std::move(vtStrPending.back());
        vtStrPending.pop_back();
        if (strName.empty() || strName == ".") {
            continue;
        }
        const bool bUp = strName == "..";
        // Built in steps: GCC 12 at -O3 warns falsely (-Wrestrict) on "/" + a temporary.
        const size_t uSlash = strWhere.rfind('/');
        status.strPath = strWhere;
        if (bUp) {
            status.strPath.resize(uSlash == 0 || uSlash == std::string::npos ? 1 : uSlash);
        } else {
            if (status.strPath != "/") {
                status.strPath += '/';
            }
            status.strPath += strName;
        }
        int nFd = ::openat(nDirFd, strName.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (nFd == -1 && errno == ENOENT && bCreate && !bUp &&
            (::mkdirat(nDirFd, strName.c_str(), 0700) == 0 || errno == EEXIST)) {
            nFd = ::openat(nDirFd, strName.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        }
        CLXFileDescriptor fdNext(nFd);
        struct stat st {};
        if (!fdNext.IsOpen() || ::fstat(fdNext.Get(), &st) != 0) {
            status.ec = LastError();
            return {};
        }
        if (S_ISLNK(st.st_mode)) {
            // Reached only through directories that passed; a link of
            // anyone but the user or root is not followed.
            if (st.st_uid != ::geteuid() && st.st_uid != 0) {
                status.ec = LogFileError::WrongOwner;
                return {};
            }
            std::string strTarget(PATH_MAX, '\0');
            const ssize_t nLength = ::readlinkat(fdNext.Get(), "", strTarget.data(), strTarget.size());
            if (nLength <= 0 || static_cast<size_t>(nLength) >= strTarget.size()) {
                status.ec = nLength < 0 ? LastError() : std::make_error_code(std::errc::filename_too_long);
                return {};
            }
            if (++nLinks > kNLinkLimit) {
                status.ec = std::make_error_code(std::errc::too_many_symbolic_link_levels);
                return {};
            }
            strTarget.resize(static_cast<size_t>(nLength));
            pushReversed(strTarget);
            if (strTarget.front() != '/') {
                continue;
            }
            status.strPath.assign(1, '/');
            fdNext = CLXFileDescriptor(::open("/", O_PATH | O_CLOEXEC));
            if (!fdNext.IsOpen() || ::fstat(fdNext.Get(), &st) != 0) {
                status.ec = LastError();
                return {};
            }
            nDepth = -1;
        } else {
            nDepth = bUp ? std::max(nDepth, 0) - 1 : (nDepth < 0 ? -1 : nDepth + 1);
        }
        if (nDepth < 0 && IsSameFile(st, dir.stHome)) {
            nDepth = 0;
        }
        if (status.ec = CheckPrivateDirectory(st, nDepth <= 0); status.ec) {
            return {};
        }
        dir.fd = std::move(fdNext);
        nDirFd = dir.fd.Get();
        strWhere = status.strPath;
    }
    if (!dir.fd.IsOpen() && !(dir.fd = CLXFileDescriptor(::fcntl(nDirFd, F_DUPFD_CLOEXEC, 0))).IsOpen()) {
        status.ec = LastError();
        return {};
    }
    // Named as the user knows it, whatever links it went through.
    status.strPath = base.strPath;
    for (const fs::path& pathComponent : pathRelative) {
        status.strPath += '/';
        status.strPath += pathComponent.native();
    }
    dir.strPath = status.strPath;
    dir.strWhere = strWhere;
    dir.nDepth = nDepth;
    return dir;
}

CLXFileDescriptor OpenPrivateDirectory(const std::string& strHome, const fs::path& pathRelative, bool bCreate,
                                       LogPathStatus& status)
{
    const PrivateDirectory home = OpenPrivateHome(strHome, bCreate, status);
    return home.fd.IsOpen() ? OpenPrivateDirectory(home, pathRelative, bCreate, status).fd : CLXFileDescriptor();
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
    CLXFileDescriptor fd(
        ::openat(nDirFd, szName, O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, S_IRUSR | S_IWUSR));
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
