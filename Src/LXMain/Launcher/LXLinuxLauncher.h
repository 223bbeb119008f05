#pragma once

#include <dlfcn.h>

#include "LXLauncher.h"

namespace lx {

// How the launcher loads the main-application library; shared, so a tool
// that checks the library loads it the same way.
inline constexpr const char* kszMainAppLibraryName = "libLxAppStartProcess.so";
inline constexpr const char* kszStartMainAppSymbol = "StartMainApp";
inline constexpr int kNMainAppOpenFlags = RTLD_LAZY | RTLD_NODELETE;

} // namespace lx

class CLXLinuxLauncher : public CLXLauncher {
protected:
    lx::LibraryState LoadMainApp(const std::filesystem::path& directory) override;
    std::filesystem::path GetLauncherDirectoryPath() override;
    std::filesystem::path GetVersionRootDirectoryPath() override;
    std::filesystem::path GetLauncherExePath() override;

private:
    bool m_bLauncherExeResolved = false;
};
