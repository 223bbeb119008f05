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

const char* UsageText();

} // namespace lx::doctor
