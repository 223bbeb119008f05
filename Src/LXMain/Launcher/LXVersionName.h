#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "LXLauncherData.h"

namespace lx {

// Set for a launcher started as a fallback: the version numbers ("a.b.c.d")
// it must fall back strictly below, if it has to fall back in turn.
inline constexpr const char* kszFallbackCeilingEnv = "LX_LAUNCHER_FALLBACK_BELOW";

// Whether a directory name is three dotted runs of ASCII digits, as version
// directories are named.
bool IsVersionDirectoryName(std::string_view strName);

// Up to four maximal digit runs of the text, in order, into the four numbers;
// numbers without a run are left as they are. Each run reads as decimal,
// leading zeros ignored, saturating at the largest 32-bit value.
void ReadVersionNumbers(std::string_view strText, Version& stVersion);

// Whether the path is a directory (links followed) with a version name.
bool IsVersionDirectory(const std::filesystem::path& path);

// The version read from the directory's name, with its path.
Version CreateVersion(const std::filesystem::path& versionPath);

// The version directories in directoryPath, newest first. Filesystem errors
// other than absence (an unreadable directory, an entry removed or made
// inaccessible mid-scan) skip what they touch; nothing here throws, so a
// damaged installation still leaves the user with a fallback.
std::vector<Version> ScanVersionDirectories(const std::filesystem::path& directoryPath);

// The four numbers as "a.b.c.d", which ReadVersionNumbers reads back.
std::string FormatVersion(const Version& stVersion);

// The directory names, comma separated in the given order, or "none".
std::string FormatVersionList(const std::vector<Version>& vtVersions);

} // namespace lx
