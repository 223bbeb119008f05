#include "LXDoctorProbe.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/close_range.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <sstream>

#include <json/json.h>

#include "LXLinuxLauncher.h"
#include "LXProcessUtil.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kNResultDescriptor = 3;
constexpr int kNProbeExecFailedStatus = 127;
constexpr std::chrono::milliseconds kPollSlice{50};
// The child's whole answer; anything longer is cut.
constexpr size_t kUMaxResultSize = 1 << 20;
constexpr const char* kszLibraryPathEnv = "LD_LIBRARY_PATH";

struct ProbeChild {
    pid_t nPid = -1;
    lx::CUniqueFd fdAnswer;
    std::string strOutput;
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

// Only async-signal-safe calls between fork and exec.
[[noreturn]] void ExecProbeChild(int nWriteFd, const char* szSelf, char** argv, char** envp)
{
    ::setpgid(0, 0);
    const int nSpare = ::fcntl(nWriteFd, F_DUPFD, 100);
    const int nNull = ::open("/dev/null", O_RDWR);
    if (nSpare < 0 || nNull < 0) {
        ::_exit(kNProbeExecFailedStatus);
    }
    for (int nFd = 0; nFd <= 2; ++nFd) {
        ::dup2(nNull, nFd);
    }
    ::dup2(nSpare, kNResultDescriptor);
    ::syscall(SYS_close_range, static_cast<unsigned>(kNResultDescriptor + 1), ~0u, CLOSE_RANGE_CLOEXEC);
    ::execve(szSelf, argv, envp);
    ::_exit(kNProbeExecFailedStatus);
}

// The one place a probe is started.
ProbeChild StartProbe(const fs::path& pathSelfExe, const lx::doctor::ProbeRequest& request, std::string& strError)
{
    ProbeChild child;
    lx::CArgv argv({pathSelfExe.native(), lx::doctor::kszProbeModeArgument, request.pathLibrary.native()});
    lx::CArgv envp(ProbeEnvironment(request.pathRunPathDirectory));
    int arrFds[2] = {-1, -1};
    if (::pipe2(arrFds, O_CLOEXEC) == -1) {
        strError = std::string("cannot make a pipe: ") + std::strerror(errno);
        return child;
    }
    lx::CUniqueFd fdWrite(arrFds[1]);
    child.fdAnswer = lx::CUniqueFd(arrFds[0]);
    child.timeStart = Clock::now();
    const pid_t nPid = ::fork();
    if (nPid == 0) {
        ExecProbeChild(fdWrite.Get(), argv.Data()[0], argv.Data(), envp.Data());
    }
    if (nPid == -1) {
        strError = std::string("cannot start the probe: ") + std::strerror(errno);
        child.fdAnswer.Reset();
        return child;
    }
    // Also here, so a kill of the group cannot race the child's own call.
    ::setpgid(nPid, nPid);
    ::fcntl(child.fdAnswer.Get(), F_SETFL, O_NONBLOCK);
    child.nPid = nPid;
    return child;
}

void ReadAvailable(ProbeChild& child)
{
    char arrBuffer[4096];
    while (child.fdAnswer.Get() >= 0) {
        const ssize_t nRead = ::read(child.fdAnswer.Get(), arrBuffer, sizeof arrBuffer);
        if (nRead > 0) {
            if (child.strOutput.size() < kUMaxResultSize) {
                child.strOutput.append(arrBuffer, static_cast<size_t>(nRead));
            }
        } else if (nRead == 0 || errno != EINTR) {
            if (nRead == 0 || errno != EAGAIN) {
                child.fdAnswer.Reset();
            }
            return;
        }
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
        result.strError = WIFEXITED(child.nWaitStatus) && WEXITSTATUS(child.nWaitStatus) == kNProbeExecFailedStatus
                              ? "the probe program could not be started"
                              : "the probe ended without an answer";
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

namespace {

struct StateNames {
    const char* szKey;
    const char* szText;
};

// In the order of LibraryState.
constexpr StateNames kArrStStateNames[] = {
    {"missing", "missing"},
    {"loadable", "loads, has StartMainApp"},
    {"no-entry", "loads, no StartMainApp"},
    {"not-loadable", "does not load"},
    {"hangs", "hangs while loading"},
    {"crashes", "crashes while loading"},
    {"probe-failed", "not probed"},
};

} // namespace

const char* KeyOf(LibraryState enState)
{
    return kArrStStateNames[static_cast<size_t>(enState)].szKey;
}

const char* TextOf(LibraryState enState)
{
    return kArrStStateNames[static_cast<size_t>(enState)].szText;
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
            if (child.nPid > 0 && !child.bReaped && child.fdAnswer.Get() >= 0) {
                vtPoll.push_back({child.fdAnswer.Get(), POLLIN, 0});
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
        ::poll(vtPoll.data(), vtPoll.size(), static_cast<int>(std::min(remaining, kPollSlice).count()));
        for (ProbeChild& child : vtChildren) {
            ReadAvailable(child);
        }
    }

    for (size_t i = 0; i < vtChildren.size(); ++i) {
        ProbeChild& child = vtChildren[i];
        child.fdAnswer.Reset();
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
        void* pHandle = dlopen(argv[2], lx::knMainAppOpenFlags);
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
    const std::string strLine = Json::writeString(builder, result) + "\n";
    lx::WriteAll(kNResultDescriptor, strLine);
    // The library's finalisers must not run: they are the client's business.
    ::_exit(0);
}

} // namespace lx::doctor
