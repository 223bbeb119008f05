#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

class CLXLaunchProcess {
public:
    // Starts exePath as a separate program with vtStrArgs after its own path,
    // and returns once it is known whether the exec succeeded. The program is
    // not waited for.
    static bool Invoke(const std::filesystem::path& exePath, const std::vector<std::string>& vtStrArgs);
};

namespace lx {

struct SpawnResult {
    bool bStarted = false;
    pid_t nPid = -1;    // the child, when one was forked
    int nExecError = 0; // errno of a failed exec, as the child reported it
};

// The body of CLXLaunchProcess::Invoke, with the details a caller may want
// beyond the yes or no.
SpawnResult SpawnDetached(const std::filesystem::path& exePath, const std::vector<std::string>& vtStrArgs);

} // namespace lx
