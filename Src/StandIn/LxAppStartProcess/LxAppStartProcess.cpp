// Stand-in for the client's main-application library. It does what a test or
// a person can check from outside: it records how it was called, and from
// which file it was loaded, and returns a result chosen through the
// environment.
//
//   LX_APP_RECORD_FILE  file to append one JSON line per call to: client
//                       type, arguments, QT_QPA_PLATFORM, the file loaded
//                       from, the fallback ceiling variable (or null) and
//                       the open descriptors
//   LX_APP_RESULT       the value to return (default 0)
//   LX_APP_THROW        when set, throw std::runtime_error with its text
//
// With "--demo" on the command line it runs a small Qt client instead (see
// LxAppDemo.h).

#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include <json/json.h>

#include "LXEnumDefine.h"
#include "JsonLineFile.h"
#include "LxAppDemo.h"

namespace {

const char* GetEnv(const char* szName)
{
    const char* szValue = std::getenv(szName);
    return szValue != nullptr ? szValue : "";
}

// Each open descriptor with what it refers to, leaving out the listing's
// own: what the launcher let reach the client.
Json::Value OpenDescriptors()
{
    Json::Value fds(Json::objectValue);
    DIR* pDir = ::opendir("/proc/self/fd");
    if (pDir == nullptr) {
        return fds;
    }
    const std::string strOwn = std::to_string(::dirfd(pDir));
    while (const dirent* pEntry = ::readdir(pDir)) {
        const std::string strName = pEntry->d_name;
        if (strName == "." || strName == ".." || strName == strOwn) {
            continue;
        }
        char arrTarget[4096];
        const ssize_t nLength = ::readlink(("/proc/self/fd/" + strName).c_str(), arrTarget, sizeof arrTarget);
        fds[strName] = nLength >= 0 ? std::string(arrTarget, static_cast<size_t>(nLength)) : std::string();
    }
    ::closedir(pDir);
    return fds;
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
    record["fds"] = OpenDescriptors();
    record["library"] = LoadedFrom();
    lxstandin::AppendToFileNamedBy(lxstandin::kszRecordFileEnv, lxstandin::FormatJsonLine(record));
}

int ChosenResult()
{
    const char* szResult = std::getenv("LX_APP_RESULT");
    if (szResult == nullptr) {
        return 0;
    }
    char* pEnd = nullptr;
    const long nValue = std::strtol(szResult, &pEnd, 10);
    return pEnd != szResult ? static_cast<int>(nValue) : 0;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int StartMainApp(ClientType enClientType, int argc, char** argv)
{
    RecordCall(enClientType, argc, argv);
    if (lxstandin::IsDemoRequested(argc, argv)) {
        const int nDemoResult = lxstandin::RunDemoClient(argc, argv);
        return nDemoResult != 0 ? nDemoResult : ChosenResult();
    }
    if (const char* szThrow = std::getenv("LX_APP_THROW"); szThrow != nullptr) {
        throw std::runtime_error(szThrow);
    }
    return ChosenResult();
}
