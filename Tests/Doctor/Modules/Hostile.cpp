// A main-application library whose initialiser does what LX_TEST_HOSTILE
// names: "forge" writes a false answer to every descriptor above the
// standard ones and closes them; "daemon" starts a process in a session of
// its own; "hang" then never returns. Each process it makes appends its pid
// to LX_TEST_PID_FILE.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void RecordPid()
{
    const char* szFile = std::getenv("LX_TEST_PID_FILE");
    const int nFd = szFile != nullptr ? ::open(szFile, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
    const std::string strLine = std::to_string(::getpid()) + "\n";
    if (nFd >= 0 && ::write(nFd, strLine.data(), strLine.size()) >= 0) {
        ::close(nFd);
    }
}

[[gnu::constructor]] void Misbehave()
{
    const char* szWhat = std::getenv("LX_TEST_HOSTILE");
    const std::string strWhat = szWhat != nullptr ? szWhat : "";
    if (strWhat.find("forge") != std::string::npos) {
        constexpr char kArrForged[] = "0\0forged\0" "0\0";
        for (int nFd = 3; nFd < 1024; ++nFd) {
            [[maybe_unused]] const ssize_t nWritten = ::write(nFd, kArrForged, sizeof kArrForged);
            ::close(nFd);
        }
    }
    if (strWhat.find("daemon") != std::string::npos && ::fork() == 0) {
        ::setsid();
        RecordPid();
        for (;;) {
            ::pause();
        }
    }
    RecordPid();
    while (strWhat.find("hang") != std::string::npos) {
        ::pause();
    }
}

} // namespace

extern "C" __attribute__((visibility("default"))) int StartMainApp(int, int, char**)
{
    return 0;
}
