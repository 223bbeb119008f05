#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace lx {

struct SpawnResult {
    bool bStarted = false;
    pid_t nPid = -1; // the child, when one was forked
    // Why it did not start: errno of the exec as the child reported it, or
    // of the step before (the program's absence, pipe, fork).
    int nExecError = 0;
};

// The process's environment as "NAME=value" entries.
std::vector<std::string> CurrentEnvironment();
// vtBase without any strName entry, plus strName=strValue.
std::vector<std::string> EnvironmentWith(std::string_view strName, std::string_view strValue,
                                         std::vector<std::string> vtBase = CurrentEnvironment());

// A descriptor of ours that the started program gets at nTarget.
struct DescriptorHandOver {
    int nSource = -1;
    int nTarget = -1;
};

// Starts exePath as a separate program with vtStrArgs after its own path and
// exactly the environment vtStrEnv, and returns once it is known whether the
// exec succeeded. The program is not waited for. It gets no descriptor but
// 0 to 2 and the handed-over ones (which take the place of whatever it
// would have had there), every signal at its default and none blocked.
SpawnResult SpawnDetached(const std::filesystem::path& exePath, const std::vector<std::string>& vtStrArgs,
                          const std::vector<std::string>& vtStrEnv = CurrentEnvironment(),
                          const std::vector<DescriptorHandOver>& vtHandOver = {});

} // namespace lx

class CLXLaunchProcess {
public:
    // lx::SpawnDetached, logged as "Invoke Process: <path>".
    static lx::SpawnResult Start(const std::filesystem::path& exePath, const std::vector<std::string>& vtStrArgs,
                                 const std::vector<std::string>& vtStrEnv,
                                 const std::vector<lx::DescriptorHandOver>& vtHandOver = {});
    // Start with the process's own environment; whether the exec succeeded.
    static bool Invoke(const std::filesystem::path& exePath, const std::vector<std::string>& vtStrArgs);
};
