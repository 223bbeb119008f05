#pragma once

#include "LXLauncher.h"

class CLXLinuxLauncher : public CLXLauncher {
protected:
    LaunchError LoadMainAppFunc(const std::filesystem::path& directory) override;
    std::filesystem::path GetLauncherDirectoryPath() override;
    std::filesystem::path GetVersionRootDirectoryPath() override;
    std::filesystem::path GetLauncherExePath() override;
};
