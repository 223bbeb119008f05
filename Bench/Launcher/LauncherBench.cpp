// The fallback's scan of the client folder. Installed under /opt, the folder
// may sit among many unrelated entries; most of them are not versions. And
// the health bookkeeping every launch does.

#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include <benchmark/benchmark.h>

#include "LXHealth.h"
#include "LXLauncherLog.h"
#include "LXLinuxLauncher.h"

namespace fs = std::filesystem;

namespace {

class CScanLauncher : public CLXLinuxLauncher {
public:
    using CLXLauncher::ParseVersionFromPath;
};

// A temporary folder of uSiblings entries: four version directories, the
// rest ordinary directories and files in turn, named as packages are.
class CSiblingFolder {
public:
    explicit CSiblingFolder(size_t uSiblings)
    {
        std::string strTemplate = (fs::temp_directory_path() / "lxbench-XXXXXX").string();
        if (::mkdtemp(strTemplate.data()) == nullptr) {
            return;
        }
        m_path = strTemplate;
        constexpr std::array<const char*, 4> arrVersions{"16.23.16808", "16.22.100", "16.21.0", "15.9.3"};
        constexpr std::array<const char*, 6> arrStems{"chrome", "python3.11", "node-v20.10.0",
                                                      "share",  "jdk-17.0.2", "backup.tar.gz"};
        std::error_code ec;
        for (size_t u = 0; u < uSiblings; ++u) {
            if (u < arrVersions.size()) {
                fs::create_directory(m_path / arrVersions[u], ec);
                continue;
            }
            const fs::path path = m_path / (arrStems[u % arrStems.size()] + std::string("-") + std::to_string(u));
            if (u % 2 == 0) {
                fs::create_directory(path, ec);
            } else {
                std::ofstream(path) << "x";
            }
        }
    }
    ~CSiblingFolder()
    {
        std::error_code ec;
        if (!m_path.empty()) {
            fs::remove_all(m_path, ec);
        }
    }
    CSiblingFolder(const CSiblingFolder&) = delete;
    CSiblingFolder& operator=(const CSiblingFolder&) = delete;

    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

void BM_ScanVersionsAmongSiblings(benchmark::State& state)
{
    const CSiblingFolder folder(static_cast<size_t>(state.range(0)));
    if (folder.Path().empty()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    CScanLauncher launcher;
    if (launcher.ParseVersionFromPath(folder.Path()).size() != 4) {
        state.SkipWithError("the scan missed a version");
        return;
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(launcher.ParseVersionFromPath(folder.Path()));
    }
}
BENCHMARK(BM_ScanVersionsAmongSiblings)->Arg(10)->Arg(1'000)->Arg(10'000)->Unit(benchmark::kMicrosecond);

// What a launch that runs its own client adds for the health of its build:
// judging the state, recording the try, clearing it when the client
// returns, and the watcher's thread (the one part that runs once).
void BM_BuildHealthOfANormalLaunch(benchmark::State& state)
{
    const CSiblingFolder home(0);
    const fs::path pathLibrary = home.Path() / "libLxAppStartProcess.so";
    std::ofstream(pathLibrary) << "x";
    const lx::HealthSetting setting;
    // Opened by the log before, on a launch.
    lx::LogPathStatus status;
    const lx::PrivateDirectory settings = lx::OpenSettingsDirectory(home.Path().string(), true, status);
    for (auto _ : state) {
        // Paced as launches are: a file system may make a file made right
        // after one was removed cost more.
        state.PauseTiming();
        ::usleep(2000);
        state.ResumeTiming();
        lx::CLXBuildHealth health =
            lx::CLXBuildHealth::Begin(setting, settings, "16.23.16808", pathLibrary);
        health.RecordTry();
        health.MarkHealthy();
        if (health.IsHeld() || health.Health().u32Failed != 0) {
            state.SkipWithError("a healthy road counted a failure");
            break;
        }
    }
}
BENCHMARK(BM_BuildHealthOfANormalLaunch)->Unit(benchmark::kMicrosecond);

void BM_WatcherThreadStart(benchmark::State& state)
{
    for (auto _ : state) {
        if (!lx::StartQuietThread([](void*) -> void* { return nullptr; }, nullptr)) {
            state.SkipWithError("no thread");
            break;
        }
    }
}
BENCHMARK(BM_WatcherThreadStart)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
