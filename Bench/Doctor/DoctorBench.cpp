// The doctor's reading of the launcher log: its four files, full, with
// every launch a starter that falls back and the launcher it started.

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include <benchmark/benchmark.h>

#include "LXDoctor.h"

namespace fs = std::filesystem;

namespace {

// Nine records per pair of launches, spread over the four files, oldest
// first; the folder made, empty when none could be.
fs::path WriteLog(size_t uPairs, std::vector<fs::path>& vtFiles)
{
    std::string strTemplate = (fs::temp_directory_path() / "lxbench-XXXXXX").string();
    if (::mkdtemp(strTemplate.data()) == nullptr) {
        return {};
    }
    for (const char* szName : {"Launcher.3.log", "Launcher.2.log", "Launcher.1.log", "Launcher.log"}) {
        vtFiles.push_back(fs::path(strTemplate) / szName);
    }
    const std::string strHead = "[info] [2026-12-08 12:00:00.123] [";
    for (size_t u = 0; u < uPairs; ++u) {
        std::ofstream out(vtFiles[u * vtFiles.size() / uPairs], std::ios::app);
        const std::string strA = std::to_string(1000 + 2 * u);
        const std::string strB = std::to_string(1001 + 2 * u);
        const std::string strStarter = strHead + strA + ":" + strA + "] [Launcher] [LXLauncher.cpp:10] ";
        const std::string strStarted = strHead + strB + ":" + strB + "] [Launcher] [LXLauncher.cpp:10] ";
        out << strStarter << "Init\n"
            << strStarter << "Main application library not found: /opt/orvalo/16.23.16808/libLxAppStartProcess.so\n"
            << strStarter << "Versions found: 16.23.16808, 16.22.100\n"
            << strStarter << "Fallback chosen: 16.22.100 (/opt/orvalo/16.22.100/launcher)\n"
            << strStarted << "Init\n"
            << strStarter << "Fallback started: /opt/orvalo/16.22.100/launcher (pid " << strB << ")\n"
            << strStarted << "StartMainApp, ClientType: 1\n"
            << strStarter << "Fallback reported its client started: /opt/orvalo/16.22.100/launcher (pid " << strB
            << ")\n"
            << strStarted << "EndMainApp, result: 0\n";
    }
    return strTemplate;
}

void BM_ReadLaunches(benchmark::State& state)
{
    std::vector<fs::path> vtFiles;
    const fs::path pathDir = WriteLog(static_cast<size_t>(state.range(0)), vtFiles);
    if (pathDir.empty()) {
        state.SkipWithError("no temporary folder");
        return;
    }
    for (auto _ : state) {
        const lx::doctor::LogReading reading = lx::doctor::ReadLaunches(vtFiles);
        if (reading.vtLaunches.size() != 2 * static_cast<size_t>(state.range(0))) {
            state.SkipWithError("launches lost");
            break;
        }
        benchmark::DoNotOptimize(reading);
    }
    state.counters["records"] = static_cast<double>(9 * state.range(0));
    std::error_code ec;
    fs::remove_all(pathDir, ec);
}
// 11,271 pairs: about 101,435 records.
BENCHMARK(BM_ReadLaunches)->Arg(1'000)->Arg(11'271)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
