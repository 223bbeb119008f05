#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <set>

#include "LXDoctor.h"
#include "LXLinuxLauncher.h"
#include "LXPosix.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using namespace lx::doctor;

// Probes at once: each holds descriptors and a process.
constexpr size_t kUMaxProbesAtOnce = 8;
// Where the answer channel goes in the probe, out of the way of the low
// numbers a library opens and closes; at most half the descriptor limit.
constexpr int kNAnswerDescriptor = 1000;
// A probe that answered ends with this plus the library's state.
constexpr int kNProbeExitBase = 40;
// The child's whole answer; anything longer is cut.
constexpr size_t kUMaxAnswerSize = 1 << 20;
constexpr const char* kszLibraryPathEnv = "LD_LIBRARY_PATH";

struct ProbeChild {
    size_t uIndex = 0; // of the request
    pid_t nPid = -1;
    lx::CLXFileDescriptor fdAnswer;
    std::string strAnswer;
    std::string strNonce;
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
    rlimit stLimit{};
    const int nTarget = ::getrlimit(RLIMIT_NOFILE, &stLimit) == 0
                            ? static_cast<int>(std::min<rlim_t>(kNAnswerDescriptor, stLimit.rlim_cur / 2))
                            : kNAnswerDescriptor;
    std::random_device device;
    child.strNonce = std::to_string(device()) + "-" + std::to_string(device()) + "-" + std::to_string(device());
    lx::ProcessOptions options;
    options.vtStrArgs = {kszProbeModeArgument, request.pathLibrary.native(), std::to_string(nTarget), child.strNonce};
    options.vtStrEnv = ProbeEnvironment(request.pathRunPathDirectory);
    options.vtHandOver = {{fdNull.Get(), 0}, {fdNull.Get(), 1}, {fdNull.Get(), 2}, {fdWrite.Get(), nTarget}};
    // Its own group, so whatever the library starts can be killed with it.
    options.bNewProcessGroup = true;
    options.bDieWithParent = true;
    child.timeStart = Clock::now();
    const lx::StartResult stResult = lx::StartProcess(pathSelfExe, options);
    if (!stResult.bStarted) {
        strError = std::string("cannot start the probe: ") + std::strerror(stResult.nExecError);
        return child;
    }
    ::fcntl(child.fdAnswer.Get(), F_SETFL, O_NONBLOCK);
    child.nPid = stResult.nPid;
    return child;
}

void ReadAvailable(ProbeChild& child)
{
    char arrBuffer[4096];
    while (child.fdAnswer.IsOpen()) {
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
int EndChild(const ProbeChild& child, bool bKill)
{
    ::kill(-child.nPid, SIGKILL);
    if (bKill) {
        ::kill(child.nPid, SIGKILL);
    }
    int nWaitStatus = 0;
    while (::waitpid(child.nPid, &nWaitStatus, 0) == -1 && errno == EINTR) {
    }
    return nWaitStatus;
}

// Kills and reaps every child this process has, those that escaped a probe's
// group and came to it as their subreaper included, until none is left.
void EndDescendants()
{
    const std::string strChildren = "/proc/self/task/" + std::to_string(::getpid()) + "/children";
    for (int nRound = 0; nRound < 1000; ++nRound) {
        std::ifstream stream(strChildren);
        bool bAny = false;
        for (pid_t nPid = 0; stream >> nPid; bAny = true) {
            ::kill(nPid, SIGKILL);
            while (::waitpid(nPid, nullptr, 0) == -1 && errno == EINTR) {
            }
        }
        if (!bAny) {
            break;
        }
    }
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

bool HasExited(const ProbeChild& child)
{
    siginfo_t stInfo{};
    return ::waitid(P_PID, static_cast<id_t>(child.nPid), &stInfo, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           stInfo.si_pid == child.nPid;
}

// The answer is the nonce, NUL-ended fields (the state's number, the loader's
// error, then the objects loading brought in) and the nonce again; the exit
// status tells the state too, and wins.
ProbeResult Interpret(const ProbeChild& child, int nWaitStatus, bool bKilled, std::chrono::milliseconds timeLimit)
{
    ProbeResult result;
    const int nState = WIFEXITED(nWaitStatus) ? WEXITSTATUS(nWaitStatus) - kNProbeExitBase : -1;
    const std::string& strNonce = child.strNonce;
    const size_t uEnd = child.strAnswer.size() - std::min(child.strAnswer.size(), strNonce.size());
    const size_t uStart = uEnd > 0 ? child.strAnswer.rfind(strNonce + '\0', uEnd - 1) : std::string::npos;
    std::vector<std::string> vtFields;
    if (child.strAnswer.compare(uEnd, std::string::npos, strNonce) == 0 && uStart != std::string::npos) {
        for (size_t uField = uStart + strNonce.size() + 1, uStop; uField < uEnd &&
                                                                  (uStop = child.strAnswer.find('\0', uField)) < uEnd;
             uField = uStop + 1) {
            vtFields.push_back(child.strAnswer.substr(uField, uStop - uField));
        }
    }
    if (bKilled) {
        result.enEnd = ProbeEnd::Hangs;
        result.strError = "still loading after " + std::to_string(timeLimit.count()) + " ms; the probe was killed";
    } else if (WIFSIGNALED(nWaitStatus)) {
        const int nSignal = WTERMSIG(nWaitStatus);
        result.enEnd = ProbeEnd::Crashes;
        result.strError =
            "loading it killed the process: signal " + std::to_string(nSignal) + " (" + ::strsignal(nSignal) + ")";
    } else if (nState < 0 || nState > static_cast<int>(lx::LibraryState::NO_ENTRY)) {
        result.strError = "the probe ended without an answer";
    } else {
        result.enEnd = ProbeEnd::Answered;
        result.enState = static_cast<lx::LibraryState>(nState);
        if (vtFields.size() >= 2 && vtFields[0] == std::to_string(nState)) {
            result.strError = vtFields[1];
            result.vtLoadedObjects.assign(vtFields.begin() + 2, vtFields.end());
        } else if (result.enState == lx::LibraryState::NOT_LOADABLE) {
            result.strError = "the loader's message was lost";
        }
    }
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
    if (vtRequests.empty()) {
        return vtResults;
    }
    // Orphans of the probes come to this process, to be ended with them.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    // The signals that end the doctor are taken as data meanwhile, so no
    // handler runs; a child's end wakes the wait.
    sigset_t setSignals;
    sigset_t setSaved;
    ::sigemptyset(&setSignals);
    for (const int nSignal : {SIGTERM, SIGINT, SIGHUP, SIGCHLD}) {
        ::sigaddset(&setSignals, nSignal);
    }
    ::pthread_sigmask(SIG_BLOCK, &setSignals, &setSaved);
    const lx::CLXFileDescriptor fdSignals(::signalfd(-1, &setSignals, SFD_CLOEXEC | SFD_NONBLOCK));
    std::vector<ProbeChild> vtRunning;
    int nStopSignal = 0;
    for (size_t uNext = 0; nStopSignal == 0 && (uNext < vtRequests.size() || !vtRunning.empty());) {
        while (vtRunning.size() < kUMaxProbesAtOnce && uNext < vtRequests.size()) {
            ProbeChild child = StartProbe(pathSelfExe, vtRequests[uNext], vtResults[uNext].strError);
            child.uIndex = uNext++;
            if (child.nPid > 0) {
                vtRunning.push_back(std::move(child));
            }
        }
        std::vector<pollfd> vtPoll{{fdSignals.Get(), POLLIN, 0}};
        Clock::time_point timeWake = Clock::now() + timeLimit;
        for (auto it = vtRunning.begin(); it != vtRunning.end();) {
            ReadAvailable(*it);
            const bool bExited = HasExited(*it);
            const bool bLate = Clock::now() >= it->timeStart + timeLimit;
            if (bExited || bLate) {
                const int nWaitStatus = EndChild(*it, !bExited);
                ReadAvailable(*it);
                ProbeResult& result = vtResults[it->uIndex];
                result = Interpret(*it, nWaitStatus, !bExited, timeLimit);
                result.duration = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - it->timeStart);
                it = vtRunning.erase(it);
                continue;
            }
            timeWake = std::min(timeWake, it->timeStart + timeLimit);
            if (it->fdAnswer.IsOpen()) {
                vtPoll.push_back({it->fdAnswer.Get(), POLLIN, 0});
            }
            ++it;
        }
        if (!vtRunning.empty()) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(timeWake - Clock::now());
            ::poll(vtPoll.data(), vtPoll.size(), static_cast<int>(std::max<int64_t>(wait.count(), 0)));
        }
        signalfd_siginfo stInfo{};
        while (fdSignals.IsOpen() && ::read(fdSignals.Get(), &stInfo, sizeof stInfo) == sizeof stInfo) {
            nStopSignal = stInfo.ssi_signo == SIGCHLD ? nStopSignal : static_cast<int>(stInfo.ssi_signo);
        }
    }
    for (const ProbeChild& child : vtRunning) {
        EndChild(child, true);
    }
    EndDescendants();
    if (nStopSignal != 0) {
        ::signal(nStopSignal, SIG_DFL);
        ::sigdelset(&setSaved, nStopSignal);
        ::raise(nStopSignal);
    }
    ::pthread_sigmask(SIG_SETMASK, &setSaved, nullptr);
    return vtResults;
}

void RunProbeMode(int argc, char** argv)
{
    if (argc < 5) {
        ::_exit(1);
    }
    const int nFd = std::atoi(argv[3]);
    struct stat stBefore {};
    struct stat stAfter {};
    ::fstat(nFd, &stBefore);
    const std::set<std::string> setBefore = LoadedObjects();
    void* pHandle = dlopen(argv[2], lx::kNMainAppOpenFlags);
    const char* szError = pHandle == nullptr ? dlerror() : nullptr;
    const lx::LibraryState enState = pHandle == nullptr                                        ? lx::LibraryState::NOT_LOADABLE
                                     : dlsym(pHandle, lx::kszStartMainAppSymbol) != nullptr ? lx::LibraryState::USABLE
                                                                                            : lx::LibraryState::NO_ENTRY;
    std::string strAnswer = std::string(argv[4]) + '\0' + std::to_string(static_cast<int>(enState)) + '\0' +
                            (szError != nullptr ? szError : "") + '\0';
    for (const std::string& strObject : pHandle != nullptr ? LoadedObjects() : std::set<std::string>()) {
        if (setBefore.count(strObject) == 0) {
            strAnswer.append(strObject).append(1, '\0');
        }
    }
    // Only into the channel it was given, should the library have closed it
    // and something else taken its number.
    if (::fstat(nFd, &stAfter) == 0 && stAfter.st_ino == stBefore.st_ino && stAfter.st_dev == stBefore.st_dev) {
        lx::WriteAll(nFd, strAnswer + argv[4]);
    }
    // The library's finalisers must not run: they are the client's business.
    ::_exit(kNProbeExitBase + static_cast<int>(enState));
}

} // namespace lx::doctor
