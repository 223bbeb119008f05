#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "LXDoctorChecks.h"
#include "LXDoctorCli.h"
#include "LXDoctorRender.h"

namespace fs = std::filesystem;
using namespace lx::doctor;

namespace {

bool WantsColour()
{
    const char* szNoColour = std::getenv("NO_COLOR");
    return ::isatty(STDOUT_FILENO) == 1 && (szNoColour == nullptr || *szNoColour == '\0');
}

// This program's own file, found as the launcher finds its own.
fs::path SelfExe(const char* szArgv0)
{
    std::error_code ec;
    fs::path pathExe = fs::read_symlink("/proc/self/exe", ec);
    return ec && szArgv0 != nullptr ? fs::path(szArgv0) : pathExe;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && std::strcmp(argv[1], kszProbeModeArgument) == 0) {
        RunProbeMode(argc, argv);
    }
    // The launcher's code logs; its records must reach neither the output
    // nor the launcher log.
    spdlog::set_default_logger(
        std::make_shared<spdlog::logger>("doctor", std::make_shared<spdlog::sinks::null_sink_mt>()));

    try {
        std::string strError;
        const std::optional<CommandLine> optCommandLine =
            ParseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), strError);
        if (!optCommandLine) {
            std::cerr << "launcher-doctor: " << strError << "\n" << UsageText();
            return kNDoctorUsage;
        }
        if (optCommandLine->bHelp) {
            std::cout << UsageText();
            return 0;
        }
        DoctorOptions options;
        options.pathSelfExe = SelfExe(argc > 0 ? argv[0] : nullptr);
        options.pathRoot =
            optCommandLine->optRoot.value_or((options.pathSelfExe.parent_path() / "..").lexically_normal());
        options.uLogLines = optCommandLine->uLogLines;
        const std::optional<DoctorReport> optReport = Examine(options, strError);
        if (!optReport) {
            std::cerr << "launcher-doctor: " << strError << "\n";
            return optCommandLine->optRoot ? kNDoctorUsage : kNDoctorNoClient;
        }
        std::cout << (optCommandLine->bJson ? RenderJson(*optReport) : RenderText(*optReport, WantsColour()));
        std::cout.flush();
        return optReport->nExitStatus;
    } catch (const std::exception& ex) {
        std::cerr << "launcher-doctor: " << ex.what() << "\n";
    }
    return kNDoctorNoClient;
}
