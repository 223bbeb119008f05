#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "LXLogFile.h"
#include "LXRotatingLogSink.h"

class LXLauncherLog {
public:
    // Makes the "Launcher" logger, writing to the rotating launcher log, the
    // process-wide default. Never fails: when the log cannot be opened, or is
    // refused as reachable by another user, the logger discards its records.
    // Gives the settings directory the log lies in, closed when refused.
    static lx::PrivateDirectory Init();
};

namespace lx {

// Where the launcher log lives for the given home directory.
std::string LauncherLogFilePathForHome(const std::string& strHome);

// The client's settings directory below home, which holds the log's.
std::filesystem::path SettingsDirectoryBelowHome();
// The log's directory below home, and its file names and limits.
std::filesystem::path LauncherLogDirectoryBelowHome();
CLXRotatingLogSink::Layout LauncherLogLayout();

// Whether the launcher would accept the log below strHome: its directories,
// the log, its lock and its rotated files, by the rules the launcher opens
// them with. Missing ones below home pass where the launcher may make them;
// the log's directory must be writable for this user.
// Creates and changes nothing.
LogPathStatus CheckLauncherLog(const std::string& strHome);

// Opens the settings directory below strHome, as the launcher's files are
// opened below it; closed, with status telling why, when refused.
PrivateDirectory OpenSettingsDirectory(const std::string& strHome, bool bCreate, LogPathStatus& status);

// Opens the launcher log below the settings directory for writing, making
// its directory; nullptr, with status telling why, when refused.
std::shared_ptr<CLXRotatingLogSink> OpenLauncherLog(const PrivateDirectory& settings, LogPathStatus& status);

// Opens /dev/null on each of descriptors 0 to 2 that is closed, so no file
// opened later can take the place of a standard stream.
void OpenClosedStandardDescriptors();

} // namespace lx
