#include "LXProcessUtil.h"

#include <sys/wait.h>

#include <cerrno>

namespace lx {

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
