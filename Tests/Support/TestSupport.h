#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <json/value.h>

namespace lxtest {

// A fresh directory under the system temporary directory, removed with
// everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::filesystem::path& rel) const { return m_path / rel; }

private:
    std::filesystem::path m_path;
};

std::string ReadFile(const std::filesystem::path& path);
std::vector<std::string> ReadLines(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& strContent);
// One JSON value per line; lines that do not parse are left out.
std::vector<Json::Value> ReadJsonLines(const std::filesystem::path& path);
// Writes a shell script and makes it executable.
void WriteScript(const std::filesystem::path& path, const std::string& strBody);

struct ProcessResult {
    bool bExited = false; // false: killed by a signal or not started
    int nExitStatus = -1;
    int nSignal = 0;
    std::string strStdout;
    std::string strStderr;
};

struct ProcessOptions {
    std::filesystem::path pathWorkingDirectory; // empty: inherit
    // Variables to set (nullopt: remove) on top of the current environment.
    std::map<std::string, std::optional<std::string>> mapEnv;
    bool bClearEnv = false; // start from an empty environment instead
    int nTimeoutSeconds = 60;
};

// Runs a program to completion, capturing its standard output and error.
ProcessResult RunProcess(const std::vector<std::string>& vtArgv, const ProcessOptions& options = {});

// Asks fnDone every 10 ms, first at once, until it says yes or the time runs
// out; its last answer. For what another process writes in its own time.
bool PollUntil(const std::function<bool()>& fnDone, std::chrono::milliseconds timeout);

// Waits for a child through interruptions: its status as waitpid gives it,
// or nullopt when there is no such child.
std::optional<int> WaitForExit(pid_t nPid);

// Waits until the file exists and holds a full line, or the time runs out.
bool WaitForLine(const std::filesystem::path& path, int nTimeoutMilliseconds = 10000);

bool IsRoot();

struct UserIds {
    uid_t uid = 0;
    gid_t gid = 0;
};
// "nobody", to act as another local user: only root can become it, so
// nullopt when not root or when there is no such user.
std::optional<UserIds> OtherUser();
// Runs fn in a child process that has become the user; true when fn did.
bool RunAsUser(const UserIds& user, const std::function<bool()>& fn);

// A virtual X server for the length of a test. Display() is empty when none
// could be started (no Xvfb installed, or it failed).
class XvfbServer {
public:
    XvfbServer();
    ~XvfbServer();
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    const std::string& Display() const { return m_strDisplay; }
    const std::string& Error() const { return m_strError; }

private:
    pid_t m_nPid = -1;
    std::string m_strDisplay;
    std::string m_strError;
};

} // namespace lxtest
