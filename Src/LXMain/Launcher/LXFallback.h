#pragma once

// The launcher's decisions when its own main-application library cannot be
// used: which older launcher to start, with which ceiling, and what it exits
// with when no client runs. Free functions, so another program can predict
// exactly what the launcher does.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LXLauncherData.h"

namespace lx {

// Exit statuses when no client runs in this process and none was started.
inline constexpr int kNExitNoMainApp = 127;       // no main-application library where the launcher looked
inline constexpr int kNExitMainAppUnusable = 126; // found but unusable, or no fallback could be started
// A library threw past the launch: sysexits' "internal software error",
// distinct from the usual client codes.
inline constexpr int kNLaunchAbortedExitCode = 70;

// What became of the main-application library in the own version directory.
enum class MainAppState {
    Usable,
    NotFound,    // no file there
    NotLoadable, // the loader refused it
    NoEntry,     // loaded, but without StartMainApp
};

// Why no client runs, when none does.
enum class NoClientReason {
    NoMainApp,         // own library not found, no fallback candidate
    MainAppUnusable,   // own library unusable, no fallback candidate
    NoFallbackStarted, // every fallback candidate failed to start
};

// nullopt when the client runs here (own library usable) or a fallback was
// started; otherwise why not, given how many candidates were tried.
std::optional<NoClientReason> NoClientReasonFor(MainAppState enOwnApp, size_t uCandidatesTried, bool bFallbackStarted);
int ExitStatusFor(NoClientReason enReason);
// As the log and the terminal line word it, e.g. "no main application
// library found".
const char* DescribeNoClientReason(NoClientReason enReason);

// The value of kszFallbackCeilingEnv as the launcher reads it. Accepted:
// exactly four runs of 1 to 10 ASCII digits joined by single dots, each at
// most 4294967295 (leading zeros allowed); nothing before, between or after.
std::optional<Version> ParseFallbackCeiling(std::string_view strText);

struct FallbackCeilingSetting {
    std::optional<Version> optCeiling;     // a valid inherited ceiling
    std::optional<std::string> optIgnored; // the text, when set but not a version
};
// szValue is the variable's value, nullptr when unset; empty counts as unset.
FallbackCeilingSetting ReadFallbackCeiling(const char* szValue);

// The launcher's own version, capped by an inherited ceiling: fallbacks go
// strictly below it.
Version EffectiveCeiling(const Version& stOwnVersion, const std::optional<Version>& optInherited);

// The scanned versions a fallback may start, in the order to try them (the
// scan's, newest first): strictly below the ceiling, not the own directory,
// holding an entry named like the running launcher (any file type; one whose
// status cannot be read counts as absent).
std::vector<Version> FallbackCandidates(const Version& stCeiling, const std::filesystem::path& pathOwnDirectory,
                                        const std::vector<Version>& vtScanned,
                                        const std::filesystem::path& pathLauncherFileName);

// The directory names, comma separated in the given order, or "none".
std::string FormatVersionList(const std::vector<Version>& vtVersions);

// Text safe for one log or terminal line: control characters as \n, \t, \r
// or \xHH, and the backslash doubled; every other byte unchanged.
std::string EscapeControlCharacters(std::string_view strText);

// The line for a person at a terminal when no client runs, newline ended:
// "<program>: the client could not be started: <reason>; see <log path>".
// The program is the base name of argv[0], or "launcher" without one.
std::string TerminalLine(const char* szArgv0, NoClientReason enReason, std::string_view strLogPath);

} // namespace lx
