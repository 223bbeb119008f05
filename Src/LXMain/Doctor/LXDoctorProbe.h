#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "LXFallback.h"

namespace lx::doctor {

// How long a library may take to load in the probe before it is reported as
// hanging and its process killed.
inline constexpr std::chrono::milliseconds kDurationProbeTimeLimit{5000};

// The hidden first argument that turns the doctor into a probe child.
inline constexpr const char* kszProbeModeArgument = "--lx-probe-library";

// How the probe of a library ended; only an answer tells the library's state.
enum class ProbeEnd {
    Answered,
    Hangs,   // did not finish loading within the time limit
    Crashes, // the probe died while loading it
    Failed,  // the probe itself could not run
};

struct ProbeRequest {
    std::filesystem::path pathLibrary;
    // The directory the starting launcher's own run path names, searched
    // before the environment's library path (empty: none).
    std::filesystem::path pathRunPathDirectory;
};

struct ProbeResult {
    ProbeEnd enEnd = ProbeEnd::Failed;
    lx::LibraryState enState = lx::LibraryState::NOT_FOUND; // as the launcher would find it, when answered
    std::string strError;                                   // the loader's message, or what went wrong
    std::vector<std::string> vtLoadedObjects;               // objects loading it brought in
    std::chrono::milliseconds duration{0};
};

// The value in the JSON document, and the words in the version table.
const char* KeyOf(const ProbeResult& result);
const char* TextOf(const ProbeResult& result);

// Loads each library with dlopen in a child process of its own (the doctor
// re-executed in probe mode), all at once, so no initialiser ever runs in the
// doctor. A child still loading at the time limit is killed with its process
// group.
std::vector<ProbeResult> ProbeLibraries(const std::filesystem::path& pathSelfExe,
                                        const std::vector<ProbeRequest>& vtRequests,
                                        std::chrono::milliseconds timeLimit = kDurationProbeTimeLimit);

// The probe child's body: argv[1] is the probe argument, argv[2] the library.
// Writes its answer to descriptor 3 and ends the process.
[[noreturn]] void RunProbeMode(int argc, char** argv);

} // namespace lx::doctor
