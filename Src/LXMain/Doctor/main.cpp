#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include "LXDoctor.h"
#include "LXPosix.h"
#include "LXText.h"

namespace fs = std::filesystem;
using namespace lx::doctor;

namespace {

// More launches than any log keeps.
constexpr size_t kUMaxLogLines = 100000;

struct CommandLine {
    bool bHelp = false;
    bool bJson = false;
    std::optional<fs::path> optRoot;
    size_t uLogLines = 5;
};

std::string UsageText(const std::string& strProgram)
{
    return "usage: " + strProgram +
           " [--root DIR] [--json] [--log-lines N]\n"
           "Explains an installation: which version runs, which would fall back, and why.\n"
           "  --root DIR      the installation root to examine (default: the one this program is in)\n"
           "  --json          print one JSON document instead of the report\n"
           "  --log-lines N   how many recent launches to show from the launcher log (default 5)\n"
           "Exit status: 0 the newest version runs its own client, 1 it needs a fallback,\n"
           "2 no client would start, 64 usage error, 74 the report could not be written.\n";
}

// "--name=value" or "--name value"; nullopt, with the reason, for a usage error.
std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& vtArgs, std::string& strError)
{
    CommandLine commandLine;
    for (size_t i = 0; i < vtArgs.size(); ++i) {
        const size_t uEquals = vtArgs[i].rfind("--", 0) == 0 ? vtArgs[i].find('=') : std::string::npos;
        const std::string strName = vtArgs[i].substr(0, uEquals);
        const bool bTakesValue = strName == "--root" || strName == "--log-lines";
        std::optional<std::string> optValue;
        if (uEquals != std::string::npos) {
            optValue = vtArgs[i].substr(uEquals + 1);
        } else if (bTakesValue && i + 1 < vtArgs.size()) {
            optValue = vtArgs[++i];
        }
        size_t uCount = 0;
        if (bTakesValue && !optValue) {
            strError = strName + " needs a value";
        } else if ((strName == "--help" || strName == "-h" || strName == "--json") && !optValue) {
            (strName == "--json" ? commandLine.bJson : commandLine.bHelp) = true;
        } else if (strName == "--root") {
            strError = optValue->empty() ? "--root needs a directory" : "";
            commandLine.optRoot = *optValue;
        } else if (strName == "--log-lines") {
            const bool bValid = lx::ReadWholeNumber(*optValue, uCount) && uCount <= kUMaxLogLines;
            commandLine.uLogLines = uCount;
            strError = bValid ? "" : "--log-lines needs a whole number from 0 to " + std::to_string(kUMaxLogLines) +
                                         ", not \"" + *optValue + "\"";
        } else {
            strError = "unknown argument \"" + vtArgs[i] + "\"";
        }
        if (!strError.empty()) {
            return std::nullopt;
        }
    }
    return commandLine;
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
    // --help names the file it was started as: launcher-doctor or a link to it.
    const std::string strArgv0 = argc > 0 && argv[0] != nullptr ? argv[0] : "";
    const std::string strProgram = fs::path(strArgv0).filename().empty() ? "launcher-doctor"
                                                                         : fs::path(strArgv0).filename().string();
    try {
        std::string strError;
        const std::optional<CommandLine> optCommandLine =
            ParseCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc), strError);
        if (!optCommandLine) {
            std::cerr << "launcher-doctor: " << strError << "\n" << UsageText(strProgram);
            return kNDoctorUsage;
        }
        std::string strOutput = UsageText(strProgram);
        int nExitStatus = 0;
        if (!optCommandLine->bHelp) {
            // This program's own file, found as the launcher finds its own.
            std::error_code ec;
            DoctorOptions options;
            options.pathSelfExe = fs::read_symlink("/proc/self/exe", ec);
            options.pathSelfExe = ec ? fs::path(strArgv0) : options.pathSelfExe;
            options.pathRoot =
                optCommandLine->optRoot.value_or((options.pathSelfExe.parent_path() / "..").lexically_normal());
            options.uLogLines = optCommandLine->uLogLines;
            const std::optional<DoctorReport> optReport = Examine(options, strError);
            if (!optReport) {
                std::cerr << "launcher-doctor: " << strError << "\n";
                return optCommandLine->optRoot ? kNDoctorUsage : kNDoctorNoClient;
            }
            const char* szNoColour = std::getenv("NO_COLOR");
            const bool bColour = ::isatty(STDOUT_FILENO) == 1 && (szNoColour == nullptr || *szNoColour == '\0');
            strOutput = optCommandLine->bJson ? RenderJson(*optReport) : RenderText(*optReport, bColour);
            nExitStatus = optReport->nExitStatus;
        }
        if (!lx::WriteAll(STDOUT_FILENO, strOutput)) {
            std::cerr << "launcher-doctor: the report could not be written: " << std::strerror(errno) << "\n";
            return kNDoctorCannotWrite;
        }
        return nExitStatus;
    } catch (const std::exception& ex) {
        std::cerr << "launcher-doctor: " << ex.what() << "\n";
    }
    return kNDoctorNoClient;
}
