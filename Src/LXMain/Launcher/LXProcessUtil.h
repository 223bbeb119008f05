#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lx {

// Owns one descriptor. close() is never retried: on Linux the descriptor is
// released even when close reports EINTR.
class CUniqueFd {
public:
    CUniqueFd() = default;
    explicit CUniqueFd(int nFd) : m_nFd(nFd) {}
    CUniqueFd(CUniqueFd&& other) noexcept : m_nFd(other.Release()) {}
    CUniqueFd& operator=(CUniqueFd&& other) noexcept;
    CUniqueFd(const CUniqueFd&) = delete;
    CUniqueFd& operator=(const CUniqueFd&) = delete;
    ~CUniqueFd() { Reset(); }

    int Get() const { return m_nFd; }
    void Reset();
    int Release();

private:
    int m_nFd = -1;
};

// Writes all of the text, through interruptions; gives up on any other
// error, as nothing can be done about a stream that refuses it.
void WriteAll(int nFd, std::string_view strText);

// Waits for the child to end, through interruptions by signals. The status
// as waitpid reports it (read with WIFEXITED and friends), or nullopt when
// there is no such child to wait for.
std::optional<int> WaitForExit(pid_t nPid);

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

} // namespace lx
