// Stand-in for the client's main-application library. It does what a test or
// a person can check from outside: it records how it was called, and from
// which file it was loaded, and returns a result chosen through the
// environment.
//
//   LX_APP_RECORD_FILE  file to append one JSON line per call to: client
//                       type, arguments, QT_QPA_PLATFORM, the file loaded
//                       from, the fallback ceiling and the ready report
//                       variables (or null), the names of any other
//                       LX_LAUNCHER_ variables and the open descriptors
//   LX_APP_RESULT       the value to return (default 0)
//   LX_APP_THROW        when set, throw std::runtime_error with its text
//   LX_APP_CRASH        "abort" or "segv": die so at start, after recording
//                       (no core file), or after LX_APP_CRASH_DELAY_MS
//   LX_APP_EXIT         when set, call exit() with its value instead of
//                       returning
//   LX_APP_FORK_EXIT    when set, first fork a child that calls exit(0),
//                       and wait for it
//
// With "--demo" on the command line it runs a small Qt client instead (see
// LxAppDemo.h).

#include <dlfcn.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <json/json.h>

#include "LXEnumDefine.h"
#include "JsonLineFile.h"
#include "OpenDescriptors.h"
#include "LxAppDemo.h"

namespace {

const char* GetEnv(const char* szName)
{
    const char* szValue = std::getenv(szName);
    return szValue != nullptr ? szValue : "";
}

// The file this library was loaded from: which installed version's client ran.
std::string LoadedFrom()
{
    static const char s_chAnchor = 0;
    Dl_info stInfo{};
    if (dladdr(&s_chAnchor, &stInfo) == 0 || stInfo.dli_fname == nullptr) {
        return {};
    }
    return stInfo.dli_fname;
}

void RecordCall(ClientType enClientType, int argc, char** argv)
{
    Json::Value record(Json::objectValue);
    record["client_type"] = static_cast<int>(enClientType);
    record["argc"] = argc;
    Json::Value args(Json::arrayValue);
    for (int i = 0; i < argc; ++i) {
        args.append(argv[i] != nullptr ? Json::Value(argv[i]) : Json::Value());
    }
    record["argv"] = args;
    record["qt_qpa_platform"] = GetEnv("QT_QPA_PLATFORM");
    const char* szCeiling = std::getenv("LX_LAUNCHER_FALLBACK_BELOW");
    record["fallback_below"] = szCeiling != nullptr ? Json::Value(szCeiling) : Json::Value();
    const char* szReadyFd = std::getenv("LX_LAUNCHER_READY_FD");
    record["ready_fd"] = szReadyFd != nullptr ? Json::Value(szReadyFd) : Json::Value();
    Json::Value launcherVariables(Json::arrayValue);
    for (char** ppEntry = environ; *ppEntry != nullptr; ++ppEntry) {
        const std::string strEntry = *ppEntry;
        if (strEntry.starts_with("LX_LAUNCHER_") && !strEntry.starts_with("LX_LAUNCHER_FALLBACK_BELOW=") &&
            !strEntry.starts_with("LX_LAUNCHER_READY_FD=")) {
            launcherVariables.append(strEntry.substr(0, strEntry.find('=')));
        }
    }
    record["launcher_variables"] = launcherVariables;
    record["fds"] = lxstandin::OpenDescriptors();
    record["library"] = LoadedFrom();
    lxstandin::AppendToFileNamedBy(lxstandin::kszRecordFileEnv, lxstandin::FormatJsonLine(record));
}

int NumberIn(const char* szName)
{
    const char* szResult = std::getenv(szName);
    if (szResult == nullptr) {
        return 0;
    }
    char* pEnd = nullptr;
    const long nValue = std::strtol(szResult, &pEnd, 10);
    return pEnd != szResult ? static_cast<int>(nValue) : 0;
}

// A client that fails at start, as a broken release does.
void CrashIfAsked()
{
    const std::string strCrash = GetEnv("LX_APP_CRASH");
    if (strCrash != "abort" && strCrash != "segv") {
        return;
    }
    const rlimit stNoCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &stNoCore);
    ::usleep(static_cast<useconds_t>(NumberIn("LX_APP_CRASH_DELAY_MS")) * 1000);
    if (strCrash == "abort") {
        std::abort();
    }
    ::raise(SIGSEGV);
}

int ChosenResult()
{
    return NumberIn("LX_APP_RESULT");
}

} // namespace

extern "C" __attribute__((visibility("default"))) int StartMainApp(ClientType enClientType, int argc, char** argv)
{
    RecordCall(enClientType, argc, argv);
    if (std::getenv("LX_APP_FORK_EXIT") != nullptr) {
        const pid_t nChild = ::fork();
        if (nChild == 0) {
            std::exit(0);
        }
        while (nChild > 0 && ::waitpid(nChild, nullptr, 0) == -1 && errno == EINTR) {
        }
    }
    CrashIfAsked();
    if (std::getenv("LX_APP_EXIT") != nullptr) {
        std::exit(NumberIn("LX_APP_EXIT"));
    }
    if (lxstandin::IsDemoRequested(argc, argv)) {
        const int nDemoResult = lxstandin::RunDemoClient(argc, argv);
        return nDemoResult != 0 ? nDemoResult : ChosenResult();
    }
    if (const char* szThrow = std::getenv("LX_APP_THROW"); szThrow != nullptr) {
        throw std::runtime_error(szThrow);
    }
    return ChosenResult();
}
