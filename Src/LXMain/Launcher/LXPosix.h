#pragma once

// The POSIX pieces the launcher and its tools share: a descriptor owner,
// writing all of a text, starting a program, and the user's home.

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lx {

// Owns one descriptor. close() is never retried: on Linux the descriptor is
// released even when close reports EINTR.
class CLXFileDescriptor {
public:
    CLXFileDescriptor() = default;
    explicit CLXFileDescriptor(int nFd) : m_nFd(nFd) {}
    CLXFileDescriptor(CLXFileDescriptor&& other) noexcept : m_nFd(other.Release()) {}
    CLXFileDescriptor& operator=(CLXFileDescriptor&& other) noexcept;
    CLXFileDescriptor(const CLXFileDescriptor&) = delete;
    CLXFileDescriptor& operator=(const CLXFileDescriptor&) = delete;
    ~CLXFileDescriptor() { Reset(); }

    int Get() const { return m_nFd; }
    bool IsOpen() const { return m_nFd >= 0; }
    void Reset();
    int Release() { return std::exchange(m_nFd, -1); }

private:
    int m_nFd = -1;
};

// Writes all of the text, through interruptions; gives up on any other
// error, with errno set, and says whether all of it was written.
bool WriteAll(int nFd, std::string_view strText);

// A null-terminated array of C strings over strings it owns, as exec and
// main take their arguments (or exec its environment). Built whole before a
// fork: after it only async-signal-safe calls are sound. Neither copied nor
// moved, since the array points into the strings.
class CArgv {
public:
    explicit CArgv(std::vector<std::string> vtStrArgs);
    CArgv(const CArgv&) = delete;
    CArgv& operator=(const CArgv&) = delete;

    int Count() const { return static_cast<int>(m_vtStrArgs.size()); }
    char** Data() { return m_vtArgv.data(); }

private:
    std::vector<std::string> m_vtStrArgs;
    std::vector<char*> m_vtArgv;
};

// The process's environment as "NAME=value" entries.
std::vector<std::string> CurrentEnvironment();
// vtBase without any strName entry, plus strName=strValue.
std::vector<std::string> EnvironmentWith(std::string_view strName, std::string_view strValue,
                                         std::vector<std::string> vtBase = CurrentEnvironment());

// One of our descriptors, placed at a number in the started program.
struct HandOver {
    int nFd = -1;     // ours, left open here
    int nTarget = -1; // its number there
};

struct ProcessOptions {
    std::vector<std::string> vtStrArgs;                       // after the program's own path
    std::vector<std::string> vtStrEnv = CurrentEnvironment(); // exactly its environment
    std::vector<HandOver> vtHandOver;                         // besides descriptors 0 to 2 as they are
    bool bNewProcessGroup = false;                            // lead a group of its own
    bool bDieWithParent = false;                              // SIGKILL when this process ends
};

struct StartResult {
    bool bStarted = false;
    pid_t nPid = -1; // the child, when one was forked
    // Why it did not start: errno of the exec as the child reported it, or
    // of the step before (the program's absence, pipe, fork).
    int nExecError = 0;
};

// Starts pathExe as a separate program and returns once it is known whether
// the exec succeeded; the program is not waited for. A child whose exec
// failed is reaped before this returns. It gets descriptors 0 to
// 2, the hand-overs and nothing else of ours, every signal at its default
// and none blocked.
StartResult StartProcess(const std::filesystem::path& pathExe, const ProcessOptions& options);

// A user's entry in the password database.
struct UserEntry {
    std::string strName;
    std::string strHome;
    gid_t nGid = 0; // the primary group
};
std::optional<UserEntry> LookUpUser(uid_t nUid);

// The file a shell runs for a slash-less program name: the first executable
// regular file of that name in an absolute PATH entry ("/bin:/usr/bin" when
// PATH is unset). Empty and relative entries are skipped: what they name
// depends on the working directory.
std::optional<std::filesystem::path> SearchPath(const std::filesystem::path& pathName);

// "HOME" as the user set it; the password database's entry when it is unset
// or empty; empty when neither is known.
std::string HomeDirectory();

} // namespace lx
