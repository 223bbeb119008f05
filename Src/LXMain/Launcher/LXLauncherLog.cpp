#include "LXLauncherLog.h"

#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <vector>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include "LXCommon.h"

namespace {

constexpr char kStrFolderNameAllInOne[] = "orvalo/2.0";
constexpr char kszLoggerName[] = "Launcher";
constexpr char kszLogPattern[] = "[%l] [%Y-%m-%d %H:%M:%S.%e] [%P:%t] [%n] [%s:%#] %v";

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
    return strHome + "/.config/" + GetClientFolderName(GetLauncherClientType()) + "/Logs/Launcher.log";
}

// A launch from a bare environment (no "HOME", or an empty one) still keeps
// its log.
std::string LauncherHomeDirectory()
{
    if (const char* szHome = std::getenv("HOME"); szHome != nullptr && *szHome != '\0') {
        return szHome;
    }
    const long nBufferSize = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> vtBuffer(nBufferSize > 0 ? static_cast<size_t>(nBufferSize) : 16384);
    passwd stPasswd{};
    passwd* pResult = nullptr;
    if (::getpwuid_r(::getuid(), &stPasswd, vtBuffer.data(), vtBuffer.size(), &pResult) == 0 && pResult != nullptr &&
        pResult->pw_dir != nullptr) {
        return pResult->pw_dir;
    }
    return {};
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

namespace {

std::string GetLauncherLogFilePath()
{
    const std::string strHome = lx::LauncherHomeDirectory();
    return strHome.empty() ? std::string() : lx::LauncherLogFilePathForHome(strHome);
}

} // namespace

void LXLauncherLog::Init()
{
    constexpr uint32_t kU32MaxSize = 5 * 1024 * 1024;
    constexpr uint32_t kU32MaxFiles = 3;

    spdlog::set_level(spdlog::level::info);

    const std::string strLogFilePath = GetLauncherLogFilePath();
    spdlog::sink_ptr spSink;
    if (!strLogFilePath.empty()) {
        try {
            spSink = std::make_shared<spdlog::sinks::rotating_file_sink<std::mutex>>(strLogFilePath, kU32MaxSize,
                                                                                     kU32MaxFiles, false);
        } catch (const std::exception&) {
            // Read-only home, full disk, HOME naming a file: the client must
            // still start, so the records go nowhere instead.
        }
    }
    if (!spSink) {
        spSink = std::make_shared<spdlog::sinks::null_sink_mt>();
    }

    auto spLogger = std::make_shared<spdlog::logger>(kszLoggerName, std::move(spSink));
    spLogger->set_pattern(kszLogPattern, spdlog::pattern_time_type::local);
    spdlog::set_default_logger(std::move(spLogger));
}
