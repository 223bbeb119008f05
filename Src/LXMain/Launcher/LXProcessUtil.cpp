#include "LXProcessUtil.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace lx {

CUniqueFd& CUniqueFd::operator=(CUniqueFd&& other) noexcept
{
    if (this != &other) {
        Reset();
        m_nFd = other.Release();
    }
    return *this;
}

void CUniqueFd::Reset()
{
    if (m_nFd >= 0) {
        ::close(m_nFd);
        m_nFd = -1;
    }
}

int CUniqueFd::Release()
{
    const int nFd = m_nFd;
    m_nFd = -1;
    return nFd;
}

void WriteAll(int nFd, std::string_view strText)
{
    while (!strText.empty()) {
        const ssize_t nWritten = ::write(nFd, strText.data(), strText.size());
        if (nWritten < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        strText.remove_prefix(static_cast<size_t>(nWritten));
    }
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

CArgv::CArgv(std::vector<std::string> vtStrArgs) : m_vtStrArgs(std::move(vtStrArgs))
{
    m_vtArgv.reserve(m_vtStrArgs.size() + 1);
    for (std::string& strArg : m_vtStrArgs) {
        m_vtArgv.push_back(strArg.data());
    }
    m_vtArgv.push_back(nullptr);
}

} // namespace lx
