#include "LXDoctorProbe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>

#include <json/json.h>

#include "LXLinuxLauncher.h"
#include "LXPosix.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kNResultDescriptor = 3;
constexpr std::chrono::milliseconds kDurationPollSlice{50};
// The child's whole answer; anything longer is cut.
constexpr size_t kUMaxResultSize = 1 << 20;
constexpr const char* kszLibraryPathEnv = "LD_LIBRARY_PATH";

struct ProbeChild {
    pid_t nPid = -1;
    int nFd = -1;
    std::string strOutput;
    bool bEof = false;
    bool bReaped = false;
    bool bKilled = false;
    int nWaitStatus = 0;
    Clock::time_point timeStart;
};

// The environment the launcher would give the loader: its run path is
// searched before LD_LIBRARY_PATH, which only the variable can reproduce in
// another program.
std::vector<std::string> ProbeEnvironment(const fs::path& pathRunPathDirectory)
{
    std::vector<std::string> vtEnv;
    std::string strOldLibraryPath;
    const std::string strPrefix = std::string(kszLibraryPathEnv) + "=";
    for (char** ppEntry = environ; ppEntry != nullptr && *ppEntry != nullptr; ++ppEntry) {
        const std::string_view strEntry(*ppEntry);
        if (strEntry.rfind(strPrefix, 0) == 0) {
            strOldLibraryPath = strEntry.substr(strPrefix.size());
        } else {
            vtEnv.emplace_back(strEntry);
        }
    }
    std::string strLibraryPath = strOldLibraryPath;
    if (!pathRunPathDirectory.empty() && pathRunPathDirectory.native().find(':') == std::string::npos) {
        strLibraryPath = pathRunPathDirectory.native() + (strOldLibraryPath.empty() ? "" : ":" + strOldLibraryPath);
    }
    if (!strLibraryPath.empty() || std::getenv(kszLibraryPathEnv) != nullptr) {
        vtEnv.push_back(strPrefix + strLibraryPath);
    }
    return vtEnv;
}

ProbeChild StartProbe(const fs::path& pathSelfExe, const lx::doctor::ProbeRequest& request, std::string& strError)
{
    ProbeChild child;
    int arrFds[2] = {-1, -1};
    if (::pipe2(arrFds, O_CLOEXEC) == -1) {
        strError = std::string("cannot make a pipe: ") + std::strerror(errno);
        return child;
    }
    lx::CLXFileDescriptor fdRead(arrFds[0]);
    const lx::CLXFileDescriptor fdWrite(arrFds[1]);
    const lx::CLXFileDescriptor fdNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    lx::ProcessOptions options;
    options.vtStrArgs = {lx::doctor::kszProbeModeArgument, request.pathLibrary.native()};
    options.vtStrEnv = ProbeEnvironment(request.pathRunPathDirectory);
    options.vtHandOver = {{fdNull.Get(), 0}, {fdNull.Get(), 1}, {fdNull.Get(), 2}, {fdWrite.Get(), kNResultDescriptor}};
    // Its own group, so whatever the library starts can be killed with it.
    options.bNewProcessGroup = true;
    child.timeStart = Clock::now();
    const lx::StartResult stResult = lx::StartProcess(pathSelfExe, options);
    if (!stResult.bStarted) {
        if (stResult.nPid > 0) {
            while (::waitpid(stResult.nPid, nullptr, 0) == -1 && errno == EINTR) {
            }
        }
        strError = std::string("cannot start the probe: ") + std::strerror(stResult.nExecError);
        return child;
    }
    ::fcntl(fdRead.Get(), F_SETFL, O_NONBLOCK);
    child.nPid = stResult.nPid;
    child.nFd = fdRead.Release();
    return child;
}

void ReadAvailable(ProbeChild& child)
{
    char arrBuffer[4096];
    while (child.nFd >= 0) {
        const ssize_t nRead = ::read(child.nFd, arrBuffer, sizeof arrBuffer);
        if (nRead > 0) {
            if (child.strOutput.size() < kUMaxResultSize) {
                child.strOutput.append(arrBuffer, static_cast<size_t>(nRead));
            }
            continue;
        }
        if (nRead == -1 && errno == EINTR) {
            continue;
        }
        if (nRead == 0) {
            child.bEof = true;
        }
        if (nRead == 0 || errno != EAGAIN) {
            ::close(child.nFd);
            child.nFd = -1;
        }
        return;
    }
}

// Kills what the library may have left running in the child's group while the
// unreaped leader still holds the group's number, then reaps the leader.
void EndChild(ProbeChild& child, bool bKill)
{
    ::kill(-child.nPid, SIGKILL);
    if (bKill) {
        ::kill(child.nPid, SIGKILL);
        child.bKilled = true;
    }
    while (::waitpid(child.nPid, &child.nWaitStatus, 0) == -1 && errno == EINTR) {
    }
    child.bReaped = true;
}

bool HasExited(const ProbeChild& child)
{
    siginfo_t stInfo{};
    return ::waitid(P_PID, static_cast<id_t>(child.nPid), &stInfo, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           stInfo.si_pid == child.nPid;
}

lx::doctor::ProbeResult Interpret(ProbeChild& child, std::chrono::milliseconds timeLimit)
{
    using lx::doctor::LibraryState;
    lx::doctor::ProbeResult result;
    if (child.bKilled) {
        result.enState = LibraryState::Hangs;
        result.strError = "still loading after " + std::to_string(timeLimit.count()) + " ms; the probe was killed";
        return result;
    }
    if (WIFSIGNALED(child.nWaitStatus)) {
        const int nSignal = WTERMSIG(child.nWaitStatus);
        result.enState = LibraryState::Crashes;
        result.strError =
            "loading it killed the process: signal " + std::to_string(nSignal) + " (" + ::strsignal(nSignal) + ")";
        return result;
    }
    Json::Value value;
    std::string strParseErrors;
    const std::string strLine = child.strOutput.substr(0, child.strOutput.find('\n'));
    const std::unique_ptr<Json::CharReader> upReader(Json::CharReaderBuilder().newCharReader());
    if (strLine.empty() || !upReader->parse(strLine.data(), strLine.data() + strLine.size(), &value, &strParseErrors) ||
        !value.isObject()) {
        result.enState = LibraryState::ProbeFailed;
        result.strError = "the probe ended without an answer";
        return result;
    }
    result.strError = value["error"].asString();
    result.bHasEntry = value["entry"].asBool();
    for (const Json::Value& object : value["objects"]) {
        result.vtLoadedObjects.push_back(object.asString());
    }
    if (!value["loaded"].asBool()) {
        result.enState = LibraryState::NotLoadable;
    } else {
        result.enState = result.bHasEntry ? LibraryState::Loadable : LibraryState::NoEntry;
    }
    return result;
}

int CollectObjectName(dl_phdr_info* pInfo, size_t /*uSize*/, void* pData)
{
    if (pInfo->dlpi_name != nullptr && pInfo->dlpi_name[0] != '\0') {
        static_cast<std::set<std::string>*>(pData)->insert(pInfo->dlpi_name);
    }
    return 0;
}

std::set<std::string> LoadedObjects()
{
    std::set<std::string> setObjects;
    dl_iterate_phdr(CollectObjectName, &setObjects);
    return setObjects;
}

} // namespace

namespace lx::doctor {

const char* LibraryStateKey(LibraryState enState)
{
    switch (enState) {
    case LibraryState::Missing:
        return "missing";
    case LibraryState::Loadable:
        return "loadable";
    case LibraryState::NoEntry:
        return "no-entry";
    case LibraryState::NotLoadable:
        return "not-loadable";
    case LibraryState::Hangs:
        return "hangs";
    case LibraryState::Crashes:
        return "crashes";
    case LibraryState::ProbeFailed:
        break;
    }
    return "probe-failed";
}

std::vector<ProbeResult> ProbeLibraries(const fs::path& pathSelfExe, const std::vector<ProbeRequest>& vtRequests,
                                        std::chrono::milliseconds timeLimit)
{
    std::vector<ProbeResult> vtResults(vtRequests.size());
    std::vector<ProbeChild> vtChildren(vtRequests.size());
    for (size_t i = 0; i < vtRequests.size(); ++i) {
        vtChildren[i] = StartProbe(pathSelfExe, vtRequests[i], vtResults[i].strError);
    }

    const Clock::time_point timeDeadline = Clock::now() + timeLimit;
    for (;;) {
        std::vector<pollfd> vtPoll;
        for (ProbeChild& child : vtChildren) {
            if (child.nPid > 0 && !child.bReaped && HasExited(child)) {
                ReadAvailable(child);
                EndChild(child, false);
            }
            if (child.nPid > 0 && !child.bReaped && child.nFd >= 0) {
                vtPoll.push_back({child.nFd, POLLIN, 0});
            }
        }
        const bool bPending = std::any_of(vtChildren.begin(), vtChildren.end(),
                                          [](const ProbeChild& child) { return child.nPid > 0 && !child.bReaped; });
        if (!bPending) {
            break;
        }
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(timeDeadline - Clock::now());
        if (remaining.count() <= 0) {
            for (ProbeChild& child : vtChildren) {
                if (child.nPid > 0 && !child.bReaped) {
                    EndChild(child, true);
                }
            }
            break;
        }
        ::poll(vtPoll.data(), vtPoll.size(), static_cast<int>(std::min(remaining, kDurationPollSlice).count()));
        for (ProbeChild& child : vtChildren) {
            if (child.nFd >= 0) {
                ReadAvailable(child);
            }
        }
    }

    for (size_t i = 0; i < vtChildren.size(); ++i) {
        ProbeChild& child = vtChildren[i];
        if (child.nFd >= 0) {
            ::close(child.nFd);
        }
        if (child.nPid <= 0) {
            continue; // never started; the reason is already in place
        }
        vtResults[i] = Interpret(child, timeLimit);
        vtResults[i].duration = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - child.timeStart);
    }
    return vtResults;
}

void RunProbeMode(int argc, char** argv)
{
    Json::Value result(Json::objectValue);
    if (argc >= 3) {
        const std::set<std::string> setBefore = LoadedObjects();
        void* pHandle = dlopen(argv[2], lx::kNMainAppOpenFlags);
        result["loaded"] = pHandle != nullptr;
        if (pHandle == nullptr) {
            const char* szError = dlerror();
            result["error"] = szError != nullptr ? szError : "";
        } else {
            result["entry"] = dlsym(pHandle, lx::kszStartMainAppSymbol) != nullptr;
            Json::Value objects(Json::arrayValue);
            for (const std::string& strObject : LoadedObjects()) {
                if (setBefore.count(strObject) == 0) {
                    objects.append(strObject);
                }
            }
            result["objects"] = objects;
        }
    }
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    lx::WriteAll(kNResultDescriptor, Json::writeString(builder, result) + "\n");
    // The library's finalisers must not run: they are the client's business.
    ::_exit(0);
}

} // namespace lx::doctor
