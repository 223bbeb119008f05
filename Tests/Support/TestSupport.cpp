#include "TestSupport.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <json/reader.h>

#include "LXPosix.h"

extern char** environ;

namespace fs = std::filesystem;

namespace lxtest {

TempDir::TempDir()
{
    std::string strTemplate = (fs::temp_directory_path() / "lxtest-XXXXXX").string();
    if (::mkdtemp(strTemplate.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = strTemplate;
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Tests may leave read-only directories behind; open them up first.
    for (auto it = fs::recursive_directory_iterator(m_path, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
    }
    fs::remove_all(m_path, ec);
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::vector<std::string> ReadLines(const fs::path& path)
{
    std::vector<std::string> vtLines;
    std::ifstream in(path);
    for (std::string strLine; std::getline(in, strLine);) {
        vtLines.push_back(strLine);
    }
    return vtLines;
}

std::vector<Json::Value> ReadJsonLines(const fs::path& path)
{
    std::vector<Json::Value> vtValues;
    Json::CharReaderBuilder builder;
    for (const std::string& strLine : ReadLines(path)) {
        Json::Value value;
        std::istringstream in(strLine);
        if (Json::parseFromStream(builder, in, &value, nullptr)) {
            vtValues.push_back(value);
        }
    }
    return vtValues;
}

void WriteFile(const fs::path& path, const std::string& strContent)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << strContent;
}

void WriteScript(const fs::path& path, const std::string& strBody)
{
    WriteFile(path, "#!/bin/sh\n" + strBody);
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
}

namespace {

std::vector<std::string> BuildEnvironment(const ProcessOptions& options)
{
    std::map<std::string, std::string> mapMerged;
    if (!options.bClearEnv) {
        for (char** pp = environ; *pp != nullptr; ++pp) {
            const std::string strEntry(*pp);
            const size_t uEq = strEntry.find('=');
            if (uEq != std::string::npos) {
                mapMerged[strEntry.substr(0, uEq)] = strEntry.substr(uEq + 1);
            }
        }
    }
    for (const auto& [strName, optValue] : options.mapEnv) {
        if (optValue) {
            mapMerged[strName] = *optValue;
        } else {
            mapMerged.erase(strName);
        }
    }
    std::vector<std::string> vtEnv;
    for (const auto& [strName, strValue] : mapMerged) {
        vtEnv.push_back(strName + "=" + strValue);
    }
    return vtEnv;
}

} // namespace

ProcessResult RunProcess(const std::vector<std::string>& vtArgv, const ProcessOptions& options)
{
    ProcessResult result;
    int arrOut[2];
    int arrErr[2];
    if (::pipe2(arrOut, O_CLOEXEC) != 0 || ::pipe2(arrErr, O_CLOEXEC) != 0) {
        return result;
    }

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, arrOut[1], 1);
    posix_spawn_file_actions_adddup2(&actions, arrErr[1], 2);
    if (!options.pathWorkingDirectory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, options.pathWorkingDirectory.c_str());
    }

    lx::CArgv argv(vtArgv);
    lx::CArgv envp(BuildEnvironment(options));

    pid_t nPid = -1;
    const int nSpawnError = ::posix_spawn(&nPid, argv.Data()[0], &actions, nullptr, argv.Data(), envp.Data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(arrOut[1]);
    ::close(arrErr[1]);
    if (nSpawnError != 0) {
        ::close(arrOut[0]);
        ::close(arrErr[0]);
        return result;
    }

    const auto timeDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.nTimeoutSeconds);
    std::array<pollfd, 2> arrPoll{{{arrOut[0], POLLIN, 0}, {arrErr[0], POLLIN, 0}}};
    std::string* arrTargets[2] = {&result.strStdout, &result.strStderr};
    int nOpen = 2;
    bool bKilled = false;
    while (nOpen > 0) {
        const auto msLeft =
            std::chrono::duration_cast<std::chrono::milliseconds>(timeDeadline - std::chrono::steady_clock::now());
        if (msLeft.count() <= 0 && !bKilled) {
            ::kill(nPid, SIGKILL);
            bKilled = true;
        }
        const int nReady = ::poll(arrPoll.data(), arrPoll.size(), bKilled ? 1000 : static_cast<int>(msLeft.count()));
        if (nReady < 0 && errno == EINTR) {
            continue;
        }
        // After the kill, a grandchild may still hold the pipes; stop reading.
        if (nReady < 0 || (nReady == 0 && bKilled)) {
            break;
        }
        for (size_t i = 0; i < arrPoll.size(); ++i) {
            if (arrPoll[i].fd < 0 || arrPoll[i].revents == 0) {
                continue;
            }
            char arrBuffer[4096];
            const ssize_t nRead = ::read(arrPoll[i].fd, arrBuffer, sizeof arrBuffer);
            if (nRead > 0) {
                arrTargets[i]->append(arrBuffer, static_cast<size_t>(nRead));
            } else if (nRead == 0 || errno != EINTR) {
                ::close(arrPoll[i].fd);
                arrPoll[i].fd = -1;
                --nOpen;
            }
        }
    }
    for (const pollfd& entry : arrPoll) {
        if (entry.fd >= 0) {
            ::close(entry.fd);
        }
    }

    // A program that closed its output may still hang: the deadline holds.
    std::optional<int> optStatus;
    const auto fnReaped = [&] {
        int nStatus = 0;
        pid_t nDone;
        do {
            nDone = ::waitpid(nPid, &nStatus, WNOHANG);
        } while (nDone == -1 && errno == EINTR);
        if (nDone == nPid) {
            optStatus = nStatus;
        }
        return nDone != 0;
    };
    const auto msLeft =
        std::chrono::duration_cast<std::chrono::milliseconds>(timeDeadline - std::chrono::steady_clock::now());
    if (!PollUntil(fnReaped, bKilled ? std::chrono::milliseconds(0) : msLeft)) {
        ::kill(nPid, SIGKILL);
        optStatus = WaitForExit(nPid);
    }
    if (optStatus && WIFEXITED(*optStatus)) {
        result.bExited = true;
        result.nExitStatus = WEXITSTATUS(*optStatus);
    } else if (optStatus && WIFSIGNALED(*optStatus)) {
        result.nSignal = WTERMSIG(*optStatus);
    }
    return result;
}

std::optional<int> WaitForExit(pid_t nPid)
{
    int nStatus = 0;
    while (::waitpid(nPid, &nStatus, 0) == -1) {
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
    return nStatus;
}

bool PollUntil(const std::function<bool()>& fnDone, std::chrono::milliseconds timeout)
{
    const auto timeDeadline = std::chrono::steady_clock::now() + timeout;
    while (!fnDone()) {
        if (std::chrono::steady_clock::now() >= timeDeadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

bool WaitForLine(const fs::path& path, int nTimeoutMilliseconds)
{
    return PollUntil(
        [&] {
            const std::string strContent = ReadFile(path);
            return !strContent.empty() && strContent.back() == '\n';
        },
        std::chrono::milliseconds(nTimeoutMilliseconds));
}

bool IsRoot()
{
    return ::geteuid() == 0;
}

std::optional<UserIds> OtherUser()
{
    const passwd* pEntry = ::getpwnam("nobody");
    if (!IsRoot() || pEntry == nullptr || pEntry->pw_uid == 0) {
        return std::nullopt;
    }
    return UserIds{pEntry->pw_uid, pEntry->pw_gid};
}

bool RunAsUser(const UserIds& user, const std::function<bool()>& fn)
{
    const pid_t nPid = ::fork();
    if (nPid == 0) {
        // Whatever happens, the copy of the test program ends here.
        bool bDone = false;
        try {
            bDone = ::setgroups(0, nullptr) == 0 && ::setgid(user.gid) == 0 && ::setuid(user.uid) == 0 && fn();
        } catch (...) {
        }
        ::_exit(bDone ? 0 : 1);
    }
    const std::optional<int> optStatus = nPid > 0 ? WaitForExit(nPid) : std::nullopt;
    return optStatus && WIFEXITED(*optStatus) && WEXITSTATUS(*optStatus) == 0;
}

XvfbServer::XvfbServer()
{
    const char* szXvfb = "/usr/bin/Xvfb";
    if (::access(szXvfb, X_OK) != 0) {
        m_strError = "Xvfb is not installed";
        return;
    }
    int arrPipe[2];
    if (::pipe2(arrPipe, O_CLOEXEC) != 0) {
        m_strError = "pipe failed";
        return;
    }
    // Xvfb picks a free display number and writes it to the descriptor.
    const std::string strFd = "3";
    lx::CArgv argv({szXvfb, "-displayfd", strFd, "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, arrPipe[1], 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const int nError = ::posix_spawn(&m_nPid, szXvfb, &actions, nullptr, argv.Data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(arrPipe[1]);
    if (nError != 0) {
        m_nPid = -1;
        ::close(arrPipe[0]);
        m_strError = "could not start Xvfb";
        return;
    }

    std::string strNumber;
    pollfd stPoll{arrPipe[0], POLLIN, 0};
    const auto timeDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (strNumber.find('\n') == std::string::npos && std::chrono::steady_clock::now() < timeDeadline) {
        if (::poll(&stPoll, 1, 200) <= 0) {
            continue;
        }
        char arrBuffer[32];
        const ssize_t nRead = ::read(arrPipe[0], arrBuffer, sizeof arrBuffer);
        if (nRead <= 0) {
            break;
        }
        strNumber.append(arrBuffer, static_cast<size_t>(nRead));
    }
    ::close(arrPipe[0]);
    if (strNumber.find('\n') == std::string::npos) {
        m_strError = "Xvfb did not report a display";
        return;
    }
    m_strDisplay = ":" + strNumber.substr(0, strNumber.find('\n'));
}

XvfbServer::~XvfbServer()
{
    if (m_nPid > 0) {
        ::kill(m_nPid, SIGTERM);
        WaitForExit(m_nPid);
    }
}

} // namespace lxtest
