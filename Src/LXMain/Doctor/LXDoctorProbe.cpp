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

#include "LXLaunchProcess.h"
#include "LXLinuxLauncher.h"
#include "LXPosix.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using namespace lx::doctor;

constexpr int kNAnswerDescriptor = 3;
constexpr std::chrono::milliseconds kDurationPollSlice{50};
// The child's whole answer; anything longer is cut.
constexpr size_t kUMaxAnswerSize = 1 << 20;
constexpr const char* kszLibraryPathEnv = "LD_LIBRARY_PATH";

struct ProbeChild {
    pid_t nPid = -1;
    lx::CLXFileDescriptor fdAnswer;
    std::string strAnswer;
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
    if (pathRunPathDirectory.empty() || pathRunPathDirectory.native().find(':') != std::string::npos) {
        return lx::CurrentEnvironment();
    }
    std::string strLibraryPath = pathRunPathDirectory.native();
    if (const char* szOld = std::getenv(kszLibraryPathEnv); szOld != nullptr && *szOld != '\0') {
        strLibraryPath.append(1, ':').append(szOld);
    }
    return lx::EnvironmentWith(kszLibraryPathEnv, strLibraryPath);
}

// The one place a probe is started.
ProbeChild StartProbe(const fs::path& pathSelfExe, const ProbeRequest& request, std::string& strError)
{
    ProbeChild child;
    int arrFds[2] = {-1, -1};
    if (::pipe2(arrFds, O_CLOEXEC) == -1) {
        strError = std::string("cannot make a pipe: ") + std::strerror(errno);
        return child;
    }
    child.fdAnswer = lx::CLXFileDescriptor(arrFds[0]);
    const lx::CLXFileDescriptor fdWrite(arrFds[1]);
    const lx::CLXFileDescriptor fdNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    lx::ProcessOptions options;
    options.vtStrArgs = {kszProbeModeArgument, request.pathLibrary.native()};
    options.vtStrEnv = ProbeEnvironment(request.pathRunPathDirectory);
    options.vtHandOver = {{fdNull.Get(), 0}, {fdNull.Get(), 1}, {fdNull.Get(), 2}, {fdWrite.Get(), kNAnswerDescriptor}};
    // Its own group, so whatever the library starts can be killed with it.
    options.bNewProcessGroup = true;
    child.timeStart = Clock::now();
    const lx::StartResult stResult = lx::StartProcess(pathSelfExe, options);
    if (!stResult.bStarted) {
        strError = std::string("cannot start the probe: ") + std::strerror(stResult.nExecError);
        child.fdAnswer.Reset();
        return child;
    }
    ::fcntl(child.fdAnswer.Get(), F_SETFL, O_NONBLOCK);
    child.nPid = stResult.nPid;
    return child;
}

void ReadAvailable(ProbeChild& child)
{
    char arrBuffer[4096];
    while (child.fdAnswer.Get() >= 0) {
        const ssize_t nRead = ::read(child.fdAnswer.Get(), arrBuffer, sizeof arrBuffer);
        if (nRead > 0) {
            const size_t uRoom = kUMaxAnswerSize - std::min(child.strAnswer.size(), kUMaxAnswerSize);
            child.strAnswer.append(arrBuffer, std::min(static_cast<size_t>(nRead), uRoom));
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

// The answer is NUL-ended fields: "1" or "0" for loaded, the loader's
// error, "1" or "0" for the entry, then the objects loading brought in.
ProbeResult Interpret(const ProbeChild& child, std::chrono::milliseconds timeLimit)
{
    ProbeResult result;
    if (child.bKilled) {
        result.enEnd = ProbeEnd::Hangs;
        result.strError = "still loading after " + std::to_string(timeLimit.count()) + " ms; the probe was killed";
        return result;
    }
    if (WIFSIGNALED(child.nWaitStatus)) {
        const int nSignal = WTERMSIG(child.nWaitStatus);
        result.enEnd = ProbeEnd::Crashes;
        result.strError =
            "loading it killed the process: signal " + std::to_string(nSignal) + " (" + ::strsignal(nSignal) + ")";
        return result;
    }
    std::vector<std::string> vtFields;
    for (size_t uStart = 0, uEnd; (uEnd = child.strAnswer.find('\0', uStart)) != std::string::npos; uStart = uEnd + 1) {
        vtFields.push_back(child.strAnswer.substr(uStart, uEnd - uStart));
    }
    if (vtFields.size() < 3) {
        result.strError = "the probe ended without an answer";
        return result;
    }
    result.enEnd = ProbeEnd::Answered;
    result.enState = vtFields[0] != "1"   ? lx::LibraryState::NOT_LOADABLE
                     : vtFields[2] == "1" ? lx::LibraryState::USABLE
                                          : lx::LibraryState::NO_ENTRY;
    result.strError = vtFields[1];
    result.vtLoadedObjects.assign(vtFields.begin() + 3, vtFields.end());
    return result;
}

std::set<std::string> LoadedObjects()
{
    std::set<std::string> setObjects;
    dl_iterate_phdr(
        [](dl_phdr_info* pInfo, size_t, void* pData) {
            if (pInfo->dlpi_name != nullptr && pInfo->dlpi_name[0] != '\0') {
                static_cast<std::set<std::string>*>(pData)->insert(pInfo->dlpi_name);
            }
            return 0;
        },
        &setObjects);
    return setObjects;
}

struct StateNames {
    const char* szKey;
    const char* szText;
};

// In the order of lx::LibraryState, then of the ends without an answer.
constexpr StateNames kArrStStateNames[] = {
    {"loadable", "loads, has StartMainApp"}, {"missing", "missing"},           {"not-loadable", "does not load"},
    {"no-entry", "loads, no StartMainApp"},  {"hangs", "hangs while loading"}, {"crashes", "crashes while loading"},
    {"probe-failed", "not probed"},
};

const StateNames& NamesOf(const ProbeResult& result)
{
    constexpr size_t kUStates = 4;
    return kArrStStateNames[result.enEnd == ProbeEnd::Answered ? static_cast<size_t>(result.enState)
                                                               : kUStates + static_cast<size_t>(result.enEnd) - 1];
}

} // namespace

namespace lx::doctor {

const char* KeyOf(const ProbeResult& result)
{
    return NamesOf(result).szKey;
}

const char* TextOf(const ProbeResult& result)
{
    return NamesOf(result).szText;
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
    for (bool bPending = true; bPending;) {
        std::vector<pollfd> vtPoll;
        bPending = false;
        const bool bLate = Clock::now() >= timeDeadline;
        for (ProbeChild& child : vtChildren) {
            ReadAvailable(child);
            const bool bExited = child.nPid > 0 && !child.bReaped && HasExited(child);
            if (bExited || (bLate && child.nPid > 0 && !child.bReaped)) {
                EndChild(child, !bExited);
            }
            bPending = bPending || (child.nPid > 0 && !child.bReaped);
            if (child.nPid > 0 && !child.bReaped && child.fdAnswer.Get() >= 0) {
                vtPoll.push_back({child.fdAnswer.Get(), POLLIN, 0});
            }
        }
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(timeDeadline - Clock::now());
        if (bPending) {
            ::poll(vtPoll.data(), vtPoll.size(), static_cast<int>(std::clamp(remaining, {}, kDurationPollSlice).count()));
        }
    }
    for (size_t i = 0; i < vtChildren.size(); ++i) {
        if (vtChildren[i].nPid > 0) { // else never started, and the reason is in place
            vtResults[i] = Interpret(vtChildren[i], timeLimit);
            vtResults[i].duration =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - vtChildren[i].timeStart);
        }
    }
    return vtResults;
}

void RunProbeMode(int argc, char** argv)
{
    std::string strAnswer;
    auto Add = [&strAnswer](std::string_view strField) { strAnswer.append(strField).append(1, '\0'); };
    if (argc >= 3) {
        const std::set<std::string> setBefore = LoadedObjects();
        void* pHandle = dlopen(argv[2], lx::kNMainAppOpenFlags);
        const char* szError = pHandle == nullptr ? dlerror() : nullptr;
        Add(pHandle != nullptr ? "1" : "0");
        Add(szError != nullptr ? szError : "");
        Add(pHandle != nullptr && dlsym(pHandle, lx::kszStartMainAppSymbol) != nullptr ? "1" : "0");
        for (const std::string& strObject : pHandle != nullptr ? LoadedObjects() : std::set<std::string>()) {
            if (setBefore.count(strObject) == 0) {
                Add(strObject);
            }
        }
    }
    lx::WriteAll(kNAnswerDescriptor, strAnswer);
    // The library's finalisers must not run: they are the client's business.
    ::_exit(0);
}

} // namespace lx::doctor
