#pragma once

#include <string>

class LXLauncherLog {
public:
    // Makes the "Launcher" logger, writing to the rotating launcher log, the
    // process-wide default. Never fails: when no log file can be opened the
    // logger discards its records.
    static void Init();
};

namespace lx {

// Where the launcher log lives for the given home directory.
std::string LauncherLogFilePathForHome(const std::string& strHome);

// "HOME" as the user set it; the password database's entry when it is unset
// or empty; empty when neither is known.
std::string LauncherHomeDirectory();

// Opens /dev/null on each of descriptors 0 to 2 that is closed, so no file
// opened later can take the place of a standard stream.
void OpenClosedStandardDescriptors();

} // namespace lx
