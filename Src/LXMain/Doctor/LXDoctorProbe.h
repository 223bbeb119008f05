#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace lx::doctor {

// How long a library may take to load in the probe before it is reported as
// hanging and its process killed.
inline constexpr std::chrono::milliseconds kDurationProbeTimeLimit{5000};

// The hidden first argument that turns the doctor into a probe child.
inline constexpr const char* kszProbeModeArgument = "--lx-probe-library";

enum class LibraryState {
    Missing,     // no file at all
    Loadable,    // loads and has the entry
    NoEntry,     // loads, entry missing
    NotLoadable, // the loader refused it
    Hangs,       // did not finish loading within the time limit
    Crashes,     // the probe died while loading it
    ProbeFailed, // the probe itself could not run
};

const char* LibraryStateKey(LibraryState enState);

struct ProbeRequest {
    std::filesystem::path pathLibrary;
    // The directory the starting launcher's own run path names, searched
    // before the environment's library path (empty: none).
    std::filesystem::path pathRunPathDirectory;
};

struct ProbeResult {
    LibraryState enState = LibraryState::ProbeFailed;
    std::string strError; // the loader's message, or what went wrong
    bool bHasEntry = false;
    std::vector<std::string> vtLoadedObjects; // objects loading it brought in
    std::chrono::milliseconds duration{0};
};

// Loads each library with dlopen in a child process of its own (the doctor
// re-executed in probe mode), all at once, so no initialiser ever runs in the
// doctor. A child still loading at the time limit is killed with its process
// group.
std::vector<ProbeResult> ProbeLibraries(const std::filesystem::path& pathSelfExe,
                                        const std::vector<ProbeRequest>& vtRequests,
                                        std::chrono::milliseconds timeLimit = kDurationProbeTimeLimit);

// The probe child's body: argv[1] is the probe argument, argv[2] the library.
// Writes one JSON line to descriptor 3 and ends the process.
[[noreturn]] void RunProbeMode(int argc, char** argv);

} // namespace lx::doctor
