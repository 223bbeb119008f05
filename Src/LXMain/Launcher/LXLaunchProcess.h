#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "LXPosix.h"

class CLXLaunchProcess {
public:
    // lx::StartProcess, logged as "Invoke Process: <path>".
    static lx::StartResult Start(const std::filesystem::path& exePath, const lx::ProcessOptions& options);
    // Start with the arguments and the process's own environment; whether the exec succeeded.
    static bool Invoke(const std::filesystem::path& exePath, const std::vector<std::string>& vtStrArgs);
};
