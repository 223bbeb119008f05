#pragma once

// What a started program holds open: each descriptor's number and link
// target, for the stand-in client and the launcher tests' probe alike.

#include <dirent.h>
#include <unistd.h>

#include <string>

#include <json/value.h>

namespace lxstandin {

// Every open descriptor but the listing's own, as {"<fd>": "<target>"}.
inline Json::Value OpenDescriptors()
{
    Json::Value fds(Json::objectValue);
    DIR* pDir = ::opendir("/proc/self/fd");
    if (pDir == nullptr) {
        return fds;
    }
    const std::string strOwn = std::to_string(::dirfd(pDir));
    while (const dirent* pEntry = ::readdir(pDir)) {
        const std::string strName = pEntry->d_name;
        if (strName == "." || strName == ".." || strName == strOwn) {
            continue;
        }
        char arrTarget[4096];
        const ssize_t nLength = ::readlink(("/proc/self/fd/" + strName).c_str(), arrTarget, sizeof arrTarget);
        fds[strName] = nLength >= 0 ? std::string(arrTarget, static_cast<size_t>(nLength)) : std::string();
    }
    ::closedir(pDir);
    return fds;
}

} // namespace lxstandin
