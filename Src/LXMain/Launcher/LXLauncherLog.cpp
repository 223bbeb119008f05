#include "LXLauncherLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <vector>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "LXCommon.h"

namespace fs = std::filesystem;

namespace {

constexpr char kStrFolderNameAllInOne[] = "orvalo/2.0";
constexpr char kszLoggerName[] = "Launcher";
constexpr char kszLogDirectoryName[] = "Logs";
constexpr char kszLogPattern[] = "[%l] [%Y-%m-%d %H:%M:%S.%e] [%P:%t] [%n] [%s:%#] %v";

std::error_code WritableDirectory(int nDirFd, const char* szPath)
{
    return ::faccessat(nDirFd, szPath, W_OK | X_OK, 0) == 0 ? std::error_code()
                                                             : std::error_code(errno, std::generic_category());
}

const char* GetClientFolderName(ClientType enClientType)
{
    switch (enClientType) {
    case ClientType::ORVALO_QT_PC:
    default:
        return kStrFolderNameAllInOne;
    }
}

} // namespace

namespace lx {

std::string LauncherLogFilePathForHome(const std::string& strHome)
{
    const fs::path pathBelowHome =
        LauncherLogDirectoryBelowHome() / CLXRotatingLogSink::FileName(LauncherLogLayout(), 0);
    return strHome + "/" + pathBelowHome.string();
}

fs::path SettingsDirectoryBelowHome()
{
    return fs::path(".config") / GetClientFolderName(GetLauncherClientType());
}

fs::path LauncherLogDirectoryBelowHome()
{
    return SettingsDirectoryBelowHome() / kszLogDirectoryName;
}

CLXRotatingLogSink::Layout LauncherLogLayout()
{
    return {"Launcher", ".log", 5 * 1024 * 1024, 3};
}

LogPathStatus CheckLauncherLog(const std::string& strHome)
{
    LogPathStatus status;
    const CLXFileDescriptor fdDir = OpenPrivateDirectory(strHome, LauncherLogDirectoryBelowHome(), false, status);
    if (!fdDir.IsOpen()) {
        // The launcher makes what is missing below home, and home itself
        // when its parent exists, where it may write in the parent.
        std::error_code ec;
        const fs::path pathParent = fs::path(status.strPath).parent_path();
        if (status.ec == std::errc::no_such_file_or_directory && !strHome.empty() &&
            (status.strPath != strHome || fs::is_directory(pathParent, ec))) {
            status.ec = WritableDirectory(AT_FDCWD, pathParent.c_str());
            status.strPath = status.ec ? pathParent.string() : status.strPath;
        }
        return status;
    }
    const CLXRotatingLogSink::Layout layout = LauncherLogLayout();
    std::vector<std::string> vtStrNames{CLXRotatingLogSink::FileName(layout, 0),
                                        CLXRotatingLogSink::LockFileName(layout)};
    for (uint32_t u32Index = 1; u32Index <= layout.u32MaxFiles; ++u32Index) {
        vtStrNames.push_back(CLXRotatingLogSink::FileName(layout, u32Index));
    }
    // A bad rotated name only stops rotation, but is reported all the same.
    for (const std::string& strName : vtStrNames) {
        if (status.ec = CheckAbsentOrOwnRegularFile(fdDir.Get(), strName.c_str()); status.ec) {
            status.strPath += "/" + strName;
            return status;
        }
    }
    // The files are made and rotated in it.
    status.ec = WritableDirectory(fdDir.Get(), ".");
    return status;
}

PrivateDirectory OpenSettingsDirectory(const std::string& strHome, bool bCreate, LogPathStatus& status)
{
    const PrivateDirectory home = OpenPrivateHome(strHome, bCreate, status);
    return home.fd.IsOpen() ? OpenPrivateDirectory(home, SettingsDirectoryBelowHome(), bCreate, status)
                            : PrivateDirectory();
}

std::shared_ptr<CLXRotatingLogSink> OpenLauncherLog(const PrivateDirectory& settings, LogPathStatus& status)
{
    CLXFileDescriptor fdDir = OpenPrivateDirectory(settings, kszLogDirectoryName, true, status).fd;
    if (!fdDir.IsOpen()) {
        return nullptr;
    }
    const CLXRotatingLogSink::Layout layout = LauncherLogLayout();
    // Appended in two steps: GCC 12 at -O3 warns falsely (-Wrestrict) on "/" + a temporary.
    status.strPath += '/';
    status.strPath += CLXRotatingLogSink::FileName(layout, 0);
    return CLXRotatingLogSink::Open(std::move(fdDir), layout, status.ec);
}

void OpenClosedStandardDescriptors()
{
    for (int nFd = 0; nFd <= 2; ++nFd) {
        if (::fcntl(nFd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        // The lowest free number, which is nFd: the ones below are open now.
        const int nOpened = ::open("/dev/null", nFd == 0 ? O_RDONLY : O_WRONLY);
        if (nOpened > nFd) {
            ::close(nOpened);
        }
    }
}

} // namespace lx

lx::PrivateDirectory LXLauncherLog::Init()
{
    spdlog::set_level(spdlog::level::info);

    spdlog::sink_ptr spSink;
    lx::PrivateDirectory settings;
    try {
        lx::LogPathStatus status;
        settings = lx::OpenSettingsDirectory(lx::HomeDirectory(), true, status);
        spSink = settings.fd.IsOpen() ? lx::OpenLauncherLog(settings, status) : nullptr;
    } catch (const std::exception&) {
        // Out of memory this early: the client must still start.
    }
    if (!spSink) {
        // Unopenable (read-only home, full disk, HOME naming a file) or
        // refused (reachable by another user): the records go nowhere.
        spSink = std::make_shared<spdlog::sinks::null_sink_mt>();
    }

    auto spLogger = std::make_shared<spdlog::logger>(kszLoggerName, std::move(spSink));
    spLogger->set_pattern(kszLogPattern, spdlog::pattern_time_type::local);
    spdlog::set_default_logger(std::move(spLogger));
    return settings;
}
