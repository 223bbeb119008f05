#pragma once

// The launcher's decision when its own main-application library cannot be
// used: which older launchers to try, below which ceiling, and what it exits
// with when no client runs. Pure but for the callables it is given, so
// another program predicts exactly what the launcher does by passing its
// prediction of a start.

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LXErrorHandler.h"
#include "LXLauncherData.h"

namespace lx {

// Exit statuses when no client runs in this process and none was started.
inline constexpr int kNExitNoMainApp = 127;       // no main-application library where the launcher looked
inline constexpr int kNExitMainAppUnusable = 126; // found but unusable, or no fallback could be started

// What became of the main-application library in the own version directory.
enum class LibraryState {
    USABLE,
    NOT_FOUND,    // no file there
    NOT_LOADABLE, // the loader refused it
    NO_ENTRY,     // loaded, but without StartMainApp
};

// The design's failure code for a state.
LaunchError LaunchErrorFor(LibraryState enState);

// Why no client runs, when none does.
enum class NoClientReason {
    NO_MAIN_APP,         // own library not found, no fallback candidate
    MAIN_APP_UNUSABLE,   // own library unusable, no fallback candidate
    NO_FALLBACK_STARTED, // every fallback candidate failed to start
};

// As the log and the terminal line word it, e.g. "no main application
// library found".
const char* DescribeNoClientReason(NoClientReason enReason);

// The value of kszFallbackCeilingEnv as the launcher reads it. Accepted:
// exactly four runs of 1 to 10 ASCII digits joined by single dots, each at
// most 4294967295 (leading zeros allowed); nothing before, between or after.
std::optional<Version> ParseFallbackCeiling(std::string_view strText);

// The ceiling a launcher inherits from the launcher that started it.
struct FallbackCeiling {
    std::optional<Version> optInherited;   // a valid inherited ceiling
    std::optional<std::string> optIgnored; // the text, when set but not a version

    // szValue is the variable's value, nullptr when unset; empty counts as unset.
    static FallbackCeiling Read(const char* szValue);
    // The own version capped by the inherited ceiling, keeping its path:
    // fallbacks go strictly below it.
    Version Below(const Version& stOwnVersion) const;
};

// Whether a found version holds a launcher to start.
using FuncHasLauncher = std::function<bool(const Version&)>;
// Holding an entry of that file name (any file type; one whose status cannot
// be read counts as absent).
FuncHasLauncher HasEntryNamed(std::filesystem::path pathLauncherFileName);

// The scanned versions a fallback may start, in the order to try them (the
// scan's, newest first): strictly below the ceiling, not the own directory,
// holding a launcher.
std::vector<Version> FallbackCandidates(const Version& stCeiling, const std::filesystem::path& pathOwnDirectory,
                                        const std::vector<Version>& vtScanned, const FuncHasLauncher& funcHasLauncher);

// Everything a launch decides from.
struct LaunchSituation {
    LibraryState enOwnLibrary = LibraryState::USABLE;
    Version stOwnVersion; // the compiled-in numbers, with the own directory
    FallbackCeiling ceiling;
    std::vector<Version> vtVersions; // the scan, newest first; unused while the own library is usable
    FuncHasLauncher funcHasLauncher;
    // The own build keeps failing at start: not loaded, treated as unusable
    // while an older client can start.
    bool bOwnHeld = false;
};

// Starts one candidate, or predicts its start: nullopt when it did not
// start, else the exit status the launch ends with.
using FuncTryStart = std::function<std::optional<int>(const Version&)>;

enum class LaunchRoute {
    RUN_OWN_CLIENT,
    FALLBACK_STARTED,
    NO_CLIENT,
};

struct LaunchPlan {
    LaunchRoute enRoute = LaunchRoute::RUN_OWN_CLIENT;
    Version stCeiling;                 // what fallbacks stay below
    std::vector<Version> vtCandidates; // in the order they are tried
    size_t uTried = 0;
    std::optional<Version> optFallback;        // the one started
    std::optional<NoClientReason> optNoClient; // with NO_CLIENT
    int nExitStatus = 0;                       // unless RUN_OWN_CLIENT, what the launch ends with
    bool bHeldAnyway = false;                  // RUN_OWN_CLIENT of a held build: nothing older started
};

// The launch's road: the own client when its library is usable, else each
// candidate in turn until one starts (one that cannot must not hide a working
// older one), else no client. A held own build is run all the same when no
// candidate starts a client (one whose chain ended without a client counts
// as not started): a hold never leaves the user without one. Free of I/O but
// for the two callables.
LaunchPlan PlanLaunch(const LaunchSituation& situation, const FuncTryStart& funcTryStart);

// Ends the plan without a client: why, and the exit status, given what the
// own library is.
void EndWithoutClient(LaunchPlan& plan, LibraryState enOwnLibrary);

} // namespace lx
