#include "LauncherFixture.h"

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <iterator>
#include <set>
#include <thread>

#include <gtest/gtest.h>
#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/ostream_sink.h>

#include "OpenDescriptors.h"

namespace fs = std::filesystem;

namespace lxtest {

fs::path Installation::AddVersion(const std::string& strName, MainApp enApp, bool bWithLauncher)
{
    const fs::path pathDir = AppRoot() / strName;
    fs::create_directories(pathDir);
    if (bWithLauncher) {
        fs::copy_file(kPathLauncherExe, pathDir / "launcher");
    }
    const fs::path pathLibrary = pathDir / kszMainAppLibrary;
    switch (enApp) {
    case MainApp::None:
        break;
    case MainApp::StandIn:
        fs::copy_file(kPathStandInLibrary, pathLibrary);
        // What the main application links against ships beside it.
        for (const char* szDependency : {"libSarnel.so", "libVantrel.so", "libOstrum.so"}) {
            fs::copy_file(kPathStandInLibrary.parent_path() / szDependency, pathDir / szDependency);
        }
        break;
    case MainApp::NoEntry:
        fs::copy_file(kPathNoEntryLibrary, pathLibrary);
        break;
    case MainApp::ThreadNoEntry:
        fs::copy_file(kPathThreadNoEntryLibrary, pathLibrary);
        break;
    case MainApp::Meddling:
        fs::copy_file(kPathMeddlingLibrary, pathLibrary);
        break;
    case MainApp::NeedsGone:
        fs::copy_file(kPathNeedsGoneLibrary, pathLibrary);
        break;
    case MainApp::NotElf:
        WriteFile(pathLibrary, "not an ELF object\n");
        break;
    case MainApp::Scripted:
        fs::copy_file(kPathScriptedLibrary, pathLibrary);
        break;
    }
    return pathDir;
}

fs::path Installation::AddProbeVersion(const std::string& strName, const std::string& strLauncherName)
{
    const fs::path pathDir = AppRoot() / strName;
    fs::create_directories(pathDir);
    fs::create_symlink(TestProgramPath(), pathDir / strLauncherName);
    return pathDir;
}

namespace {

std::string RecordLine(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value) + '\n';
}

int EnvNumber(const char* szName)
{
    const char* szValue = std::getenv(szName);
    return szValue != nullptr ? std::atoi(szValue) : 0;
}

sock_filter FilterStatement(unsigned int uCode, uint32_t uValue)
{
    return sock_filter{static_cast<uint16_t>(uCode), 0, 0, uValue};
}

sock_filter FilterJump(unsigned int uCode, uint32_t uValue, uint8_t uIfTrue, uint8_t uIfFalse)
{
    return sock_filter{static_cast<uint16_t>(uCode), uIfTrue, uIfFalse, uValue};
}

} // namespace

int RunProbe(const char* szRecordPath, int argc, char** argv)
{
    Json::Value record(Json::objectValue);
    // The descriptors first, while nothing of the probe's own is open
    // except the listing's directory.
    record["fds"] = lxstandin::OpenDescriptors();

    Json::Value ignored(Json::arrayValue);
    Json::Value blocked(Json::arrayValue);
    sigset_t setMask;
    ::pthread_sigmask(SIG_BLOCK, nullptr, &setMask);
    for (int nSignal = 1; nSignal < _NSIG; ++nSignal) {
        struct sigaction action {};
        if (::sigaction(nSignal, nullptr, &action) == 0 && (action.sa_flags & SA_SIGINFO) == 0 &&
            action.sa_handler == SIG_IGN) {
            ignored.append(nSignal);
        }
        if (::sigismember(&setMask, nSignal) == 1) {
            blocked.append(nSignal);
        }
    }
    record["ignored"] = ignored;
    record["blocked"] = blocked;

    Json::Value args(Json::arrayValue);
    for (int i = 0; i < argc; ++i) {
        args.append(argv[i]);
    }
    record["argv"] = args;
    const char* szCeiling = std::getenv("LX_LAUNCHER_FALLBACK_BELOW");
    record["fallback_below"] = szCeiling != nullptr ? Json::Value(szCeiling) : Json::Value();
    const char* szReadyFd = std::getenv("LX_LAUNCHER_READY_FD");
    record["ready_fd"] = szReadyFd != nullptr ? Json::Value(szReadyFd) : Json::Value();

    if (const int nDelay = EnvNumber("LX_TEST_PROBE_DELAY_MS"); nDelay > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(nDelay));
    }
    // One write of the whole line: records of several probes never mix.
    const std::string strLine = RecordLine(record);
    const int nFd = ::open(szRecordPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (nFd < 0 || ::write(nFd, strLine.data(), strLine.size()) != static_cast<ssize_t>(strLine.size())) {
        return 1;
    }
    ::close(nFd);
    return 0;
}

int ExecWithoutCloseRange(char** argv)
{
#if defined(__x86_64__)
    constexpr uint32_t kUArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
    constexpr uint32_t kUArch = AUDIT_ARCH_AARCH64;
#else
    return kNWrapperUnsupported;
#endif
    // Other architectures pass; close_range of this one fails with ENOSYS.
    sock_filter arrFilter[] = {
        FilterStatement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        FilterJump(BPF_JMP | BPF_JEQ | BPF_K, kUArch, 1, 0),
        FilterStatement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        FilterStatement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        FilterJump(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
        FilterStatement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA)),
        FilterStatement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog stProgram{static_cast<unsigned short>(std::size(arrFilter)), arrFilter};
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &stProgram) != 0) {
        return kNWrapperFilterFailed;
    }
    // The filter must bite, or a test relying on it proves nothing.
    if (::syscall(SYS_close_range, ~0u - 1, ~0u, 0) != -1 || errno != ENOSYS) {
        return kNWrapperFilterFailed;
    }

    rlimit stLimit{};
    if (::getrlimit(RLIMIT_NOFILE, &stLimit) != 0) {
        return kNWrapperFilterFailed;
    }
    if (stLimit.rlim_cur > 512) {
        stLimit.rlim_cur = 512;
        ::setrlimit(RLIMIT_NOFILE, &stLimit);
    }
    const int nNull = ::open("/dev/null", O_RDONLY);
    if (nNull < 0 || ::dup2(nNull, static_cast<int>(stLimit.rlim_cur) - 1) < 0) {
        return kNWrapperFilterFailed;
    }
    ::execv(argv[0], argv);
    return kNWrapperFilterFailed;
}

fs::path TestProgramPath()
{
    return fs::read_symlink("/proc/self/exe");
}

std::vector<Json::Value> WaitForProbeRecords(const fs::path& path, size_t uCount, int nTimeoutMilliseconds)
{
    const auto timeDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMilliseconds);
    std::vector<Json::Value> vtRecords = ReadJsonLines(path);
    while (vtRecords.size() < uCount && std::chrono::steady_clock::now() < timeDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        vtRecords = ReadJsonLines(path);
    }
    return vtRecords;
}

std::vector<int> ProbeDescriptors(const Json::Value& record)
{
    std::vector<int> vtFds;
    for (const std::string& strName : record["fds"].getMemberNames()) {
        vtFds.push_back(std::atoi(strName.c_str()));
    }
    std::sort(vtFds.begin(), vtFds.end());
    return vtFds;
}

bool HoldsAPipe(const Json::Value& record)
{
    // Whatever started the tests may have left pipes open in all of them.
    std::set<std::string> setOwn;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/self/fd", ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        setOwn.insert(fs::read_symlink(it->path(), ec).string());
    }
    for (const std::string& strFd : record["fds"].getMemberNames()) {
        const std::string strTarget = record["fds"][strFd].asString();
        if (std::atoi(strFd.c_str()) > 2 && strFd != record["ready_fd"].asString() && strTarget.rfind("pipe:", 0) == 0 && setOwn.count(strTarget) == 0) {
            return true;
        }
    }
    return false;
}

bool ProcessEnded(pid_t nPid)
{
    // The state follows the parenthesised name, which may itself hold ")".
    const std::string strStat = ReadFile("/proc/" + std::to_string(nPid) + "/stat");
    const size_t uNameEnd = strStat.rfind(')');
    return uNameEnd == std::string::npos || strStat.compare(uNameEnd + 2, 1, "Z") == 0;
}

CapturedLog::CapturedLog()
{
    auto spSink = std::make_shared<spdlog::sinks::ostream_sink_mt>(m_stream);
    auto spLogger = std::make_shared<spdlog::logger>("Launcher", spSink);
    spLogger->set_pattern("[%l] [%s:%#] %v");
    spdlog::set_default_logger(spLogger);
}

CapturedLog::~CapturedLog()
{
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("", std::make_shared<spdlog::sinks::null_sink_mt>()));
}

std::string CapturedLog::Text()
{
    spdlog::default_logger()->flush();
    return m_stream.str();
}

fs::path PlantedPath(const fs::path& pathHome, const std::string& strPath)
{
    const fs::path pathLogs = pathHome / ".config/orvalo/2.0/Logs";
    if (strPath.starts_with("~")) {
        return strPath == "~" ? pathHome : pathHome / strPath.substr(2);
    }
    return strPath == "." ? pathLogs : pathLogs / strPath;
}

std::vector<lx::CLXFileDescriptor> Plant(const fs::path& pathHome, const fs::path& pathVictim,
                                         const std::string& strPlan)
{
    std::vector<lx::CLXFileDescriptor> vtFds;
    std::vector<std::pair<std::string, fs::path>> vtSteps;
    std::istringstream in(strPlan);
    for (std::string strWord; in >> strWord;) {
        const size_t uColon = strWord.find(':');
        vtSteps.emplace_back(strWord.substr(0, uColon), PlantedPath(pathHome, strWord.substr(uColon + 1)));
    }
    WriteFile(pathVictim, std::string(kU64LogLimit - 10, 'v'));
    const auto make = [&](size_t uFrom) {
        for (size_t i = uFrom; i < vtSteps.size() && vtSteps[i].first != "nobody"; ++i) {
            const auto& [strKind, path] = vtSteps[i];
            fs::create_directories(strKind == "dir" || strKind == "open" ? path : path.parent_path());
            if (strKind == "fifo") {
                ::mkfifo(path.c_str(), 0600);
            } else if (strKind == "old" || strKind == "full") {
                WriteFile(path, strKind == "old" ? "old\n" : std::string(kU64LogLimit - 10, 'f'));
            } else if (strKind == "link") {
                fs::create_symlink(pathVictim, path);
            } else if (strKind == "open") {
                fs::permissions(path, fs::perms::all);
                fs::permissions(path.parent_path(), fs::perms::others_exec, fs::perm_options::add);
            } else if (strKind == "give") {
                (void)::lchown(path.c_str(), OtherUser()->uid, 0);
            } else if (strKind == "lock") {
                vtFds.emplace_back(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
                (void)::flock(vtFds.back().Get(), LOCK_EX);
            }
        }
    };
    make(0);
    for (size_t i = 0; i < vtSteps.size(); ++i) {
        if (vtSteps[i].first == "nobody" && !RunAsUser(*OtherUser(), [&] { return make(i + 1), true; })) {
            ADD_FAILURE() << "another user could not make " << strPlan;
        }
    }
    return vtFds;
}

std::map<fs::path, std::string> Snapshot(const std::vector<fs::path>& vtPaths)
{
    std::map<fs::path, std::string> mapFiles;
    for (const fs::path& path : vtPaths) {
        std::error_code ec;
        if (fs::is_regular_file(fs::symlink_status(path, ec))) {
            mapFiles[path] = ReadFile(path);
        }
        for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (fs::is_regular_file(it->symlink_status())) {
                mapFiles[it->path()] = ReadFile(it->path());
            }
        }
    }
    return mapFiles;
}

Version MakeVersion(uint32_t uMajor, uint32_t uMinor, uint32_t uPatch, uint32_t uTweak, fs::path path)
{
    Version stVersion;
    stVersion.uMajor = uMajor;
    stVersion.uMinor = uMinor;
    stVersion.uPatch = uPatch;
    stVersion.uTweak = uTweak;
    stVersion.path = std::move(path);
    return stVersion;
}

} // namespace lxtest
