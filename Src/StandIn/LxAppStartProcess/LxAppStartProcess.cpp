// Stand-in for the client's main-application library. It does what a test or
// a person can check from outside: it records how it was called, and from
// which file it was loaded, and returns a result chosen through the
// environment.
//
//   LX_APP_RECORD_FILE  file to append one JSON line per call to: client
//                       type, arguments, QT_QPA_PLATFORM, the file loaded
//                       from, the fallback ceiling and the ready report
//                       variables (or null) and the open descriptors
//   LX_APP_RESULT       the value to return (default 0)
//   LX_APP_THROW        when set, throw std::runtime_error with its text
//
// With "--demo" on the command line it runs a small Qt client instead (see
// LxAppDemo.h).

#include <dlfcn.h>
#include <unistd.h>

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
    record["fds"] = lxstandin::OpenDescriptors();
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
