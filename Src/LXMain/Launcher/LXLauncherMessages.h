#pragma once

// The launcher's log messages as fmt formats: the launcher writes them and
// launcher-doctor reads them back, both from here.

#include <cstddef>
#include <string_view>

namespace lx::msg {

inline constexpr char kszInit[] = "Init";
inline constexpr char kszCeilingIgnored[] = "Ignoring LX_LAUNCHER_FALLBACK_BELOW: not a version: {}";
inline constexpr char kszVersionsFound[] = "Versions found: {}";
inline constexpr char kszNoVersionBelow[] = "No version below {} to fall back to";
inline constexpr char kszNoClient[] = "No client started, exit status {}: {}";
inline constexpr char kszFallbackChosen[] = "Fallback chosen: {} ({})";
inline constexpr char kszCouldNotStart[] = "Could not start {}: {}";
inline constexpr char kszFallbackStarted[] = "Fallback started: {} (pid {})";
inline constexpr char kszFallbackReported[] = "Fallback reported its client started: {} (pid {})";
inline constexpr char kszFallbackEnded[] = "Fallback ended without a client, exit status {}: {}";
inline constexpr char kszFallbackEndedUnknown[] = "Fallback ended without a client, exit status unknown: {}";
inline constexpr char kszFallbackSilent[] = "Fallback did not report within {} ms: {}";
inline constexpr char kszReadyFdIgnored[] = "Ignoring LX_LAUNCHER_READY_FD: {}";
inline constexpr char kszHealthIgnored[] = "Ignoring LX_LAUNCHER_HEALTH: not reset or off: {}";
inline constexpr char kszHeldStarting[] = "{} is held back after {} failed starts (last at {}); starting {}";
inline constexpr char kszHeldAnyway[] =
    "{} is held back after {} failed starts (last at {}); nothing older started, starting it anyway";
inline constexpr char kszInvokeProcess[] = "Invoke Process: {}";
inline constexpr char kszStartMainApp[] = "StartMainApp, ClientType: {}";
inline constexpr char kszEndMainApp[] = "EndMainApp, result: {}";
inline constexpr char kszLauncherLocationUnknown[] =
    "Launcher location unknown, nothing loaded or started from it: {}";
inline constexpr char kszLibraryNotFound[] = "Main application library not found: {}";
inline constexpr char kszLibraryNotLoadable[] = "Main application library could not be loaded: {}: {}";
inline constexpr char kszLibraryNoEntry[] = "Main application library has no entry StartMainApp: {}";
inline constexpr char kszNoX11[] = "Cannot select the X11 platform; the client chooses its own";
inline constexpr char kszAbortedByException[] = "Launch aborted by exception: {}";
inline constexpr char kszAbortedUnknown[] = "Launch aborted by unknown exception";

// The literal text of a format between its uIndex-th and the next "{}":
// piece 0 is what a message starts with.
constexpr std::string_view Piece(std::string_view strFormat, size_t uIndex = 0)
{
    for (; uIndex > 0; --uIndex) {
        strFormat.remove_prefix(strFormat.find("{}") + 2);
    }
    return strFormat.substr(0, strFormat.find("{}"));
}

} // namespace lx::msg
