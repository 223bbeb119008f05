#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace lxtest {

inline constexpr const char* kszBuildDir = LX_TEST_BUILD_DIR;
inline constexpr const char* kszCMake = LX_TEST_CMAKE;
inline constexpr const char* kszCPack = LX_TEST_CPACK;
inline constexpr const char* kszVersionDir = LX_TEST_VERSION_DIR;
inline constexpr const char* kszVersion = LX_TEST_VERSION;
inline constexpr const char* kszScreenshotTool = LX_TEST_SCREENSHOT_TOOL;
inline constexpr const char* kszScreenshotFile = LX_TEST_SCREENSHOT_FILE;

// cmake --install of the runtime component into a prefix.
inline bool InstallRuntime(const std::filesystem::path& pathPrefix)
{
    const ProcessResult result =
        RunProcess({kszCMake, "--install", kszBuildDir, "--prefix", pathPrefix.string(), "--component", "Runtime"});
    return result.bExited && result.nExitStatus == 0;
}

} // namespace lxtest
