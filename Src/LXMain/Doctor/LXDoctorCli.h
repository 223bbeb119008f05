#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace lx::doctor {

struct CommandLine {
    bool bHelp = false;
    bool bJson = false;
    std::optional<std::filesystem::path> optRoot;
    size_t uLogLines = 5;
};

// nullopt, with the reason in strError, for a usage error.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& vtArgs, std::string& strError);

// Names the program as it was started: launcher-doctor or a link to it.
std::string UsageText(const std::string& strProgram);

} // namespace lx::doctor
