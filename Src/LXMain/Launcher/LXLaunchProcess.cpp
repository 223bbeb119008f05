#include "LXLaunchProcess.h"

#include <spdlog/spdlog.h>

#include "LXText.h"
#include "LXLauncherMessages.h"

namespace fs = std::filesystem;

lx::StartResult CLXLaunchProcess::Start(const fs::path& exePath, const lx::ProcessOptions& options)
{
    SPDLOG_INFO(lx::msg::kszInvokeProcess, lx::EscapeControlCharacters(exePath.generic_string()));
    return lx::StartProcess(exePath, options);
}

bool CLXLaunchProcess::Invoke(const fs::path& exePath, const std::vector<std::string>& vtStrArgs)
{
    lx::ProcessOptions options;
    options.vtStrArgs = vtStrArgs;
    return Start(exePath, options).bStarted;
}
