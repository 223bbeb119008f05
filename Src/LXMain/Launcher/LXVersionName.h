#pragma once

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

// The four numbers as "a.b.c.d", which ReadVersionNumbers reads back.
std::string FormatVersion(const Version& stVersion);

// The directory names, comma separated in the given order, or "none".
std::string FormatVersionList(const std::vector<Version>& vtVersions);

} // namespace lx
