// A main application that does what the environment asks:
//   LX_TEST_APP_FDS      file to write what descriptors 0 to 2 refer to
//   LX_TEST_APP_BARRIER  FIFO to wait on (20 s at most) until a test writes
//                        to it, after appending our pid to LX_TEST_APP_READY
//   LX_TEST_APP_END      "segv", "term", "kill": die by that signal; "exit":
//                        _exit(3); "sleep": return 0 after 5 s; else return 0
//   LX_TEST_APP_SIGNALS  file to append how SIGPIPE and SIGXFSZ were found:
//                        "PIPE default", "XFSZ ignored blocked", ...

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <utility>

namespace {

void AppendToFileNamedBy(const char* szEnv, const std::string& strText)
{
    const char* szPath = std::getenv(szEnv);
    const int nFd = szPath != nullptr ? ::open(szPath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600) : -1;
    if (nFd != -1) {
        (void)!::write(nFd, strText.data(), strText.size());
        ::close(nFd);
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) int StartMainApp(int /*nClientType*/, int /*argc*/, char** /*argv*/)
{
    std::string strFds;
    for (const char* szLink : {"/proc/self/fd/0", "/proc/self/fd/1", "/proc/self/fd/2"}) {
        char arrTarget[4096] = {};
        strFds +=
            (::readlink(szLink, arrTarget, sizeof arrTarget - 1) < 0 ? "(closed)" : arrTarget) + std::string("\n");
    }
    AppendToFileNamedBy("LX_TEST_APP_FDS", strFds);
    std::string strSignals;
    sigset_t setMask;
    ::sigprocmask(SIG_BLOCK, nullptr, &setMask);
    for (const auto& [szName, nSignal] : {std::pair{"PIPE", SIGPIPE}, std::pair{"XFSZ", SIGXFSZ}}) {
        struct sigaction action {};
        ::sigaction(nSignal, nullptr, &action);
        const bool bPlain = (action.sa_flags & SA_SIGINFO) == 0;
        strSignals += std::string(szName) +
                      (bPlain && action.sa_handler == SIG_DFL   ? " default"
                       : bPlain && action.sa_handler == SIG_IGN ? " ignored"
                                                                : " handled") +
                      (::sigismember(&setMask, nSignal) == 1 ? " blocked\n" : "\n");
    }
    AppendToFileNamedBy("LX_TEST_APP_SIGNALS", strSignals);
    if (const char* szBarrier = std::getenv("LX_TEST_APP_BARRIER"); szBarrier != nullptr) {
        // Opened before telling the test, so its write always finds a reader.
        pollfd stPoll{::open(szBarrier, O_RDONLY | O_NONBLOCK | O_CLOEXEC), POLLIN, 0};
        AppendToFileNamedBy("LX_TEST_APP_READY", std::to_string(::getpid()) + "\n");
        (void)::poll(&stPoll, 1, 20000);
        ::close(stPoll.fd);
    }
    const rlimit stNoCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &stNoCore); // a test's crash needs no core file
    const std::map<std::string, int> mapSignals{{"segv", SIGSEGV}, {"term", SIGTERM}, {"kill", SIGKILL}};
    const std::string strEnd = std::getenv("LX_TEST_APP_END") != nullptr ? std::getenv("LX_TEST_APP_END") : "";
    if (mapSignals.contains(strEnd)) {
        ::raise(mapSignals.at(strEnd));
    } else if (strEnd == "exit") {
        ::_exit(3);
    } else if (strEnd == "sleep") {
        ::sleep(5);
    }
    return 0;
}
