#include "LXDoctorCli.h"

#include <charconv>

namespace {

// More launches than any log keeps.
constexpr size_t kUMaxLogLines = 100000;

std::optional<size_t> ParseCount(const std::string& strText)
{
    size_t uValue = 0;
    const char* pEnd = strText.data() + strText.size();
    const auto [pStop, ec] = std::from_chars(strText.data(), pEnd, uValue);
    if (strText.empty() || ec != std::errc() || pStop != pEnd || uValue > kUMaxLogLines) {
        return std::nullopt;
    }
    return uValue;
}

} // namespace

namespace lx::doctor {

const char* UsageText()
{
    return "usage: launcher-doctor [--root DIR] [--json] [--log-lines N]\n"
           "Explains an installation: which version runs, which would fall back, and why.\n"
           "  --root DIR      the installation root to examine (default: the one this program is in)\n"
           "  --json          print one JSON document instead of the report\n"
           "  --log-lines N   how many recent launches to show from the launcher log (default 5)\n"
           "Exit status: 0 the newest version runs its own client, 1 it needs a fallback,\n"
           "2 no client would start, 64 usage error.\n";
}

std::optional<CommandLine> ParseCommandLine(const std::vector<std::string>& vtArgs, std::string& strError)
{
    CommandLine commandLine;
    for (size_t i = 0; i < vtArgs.size(); ++i) {
        const std::string& strArg = vtArgs[i];
        // "--name=value" or "--name value".
        std::string strName = strArg;
        std::optional<std::string> optValue;
        if (const size_t uEquals = strArg.find('='); strArg.rfind("--", 0) == 0 && uEquals != std::string::npos) {
            strName = strArg.substr(0, uEquals);
            optValue = strArg.substr(uEquals + 1);
        }
        auto TakeValue = [&]() -> std::optional<std::string> {
            if (optValue) {
                return optValue;
            }
            if (i + 1 < vtArgs.size()) {
                return vtArgs[++i];
            }
            strError = strName + " needs a value";
            return std::nullopt;
        };
        if ((strName == "--help" || strName == "-h") && !optValue) {
            commandLine.bHelp = true;
        } else if (strName == "--json" && !optValue) {
            commandLine.bJson = true;
        } else if (strName == "--root") {
            const std::optional<std::string> optRoot = TakeValue();
            if (!optRoot) {
                return std::nullopt;
            }
            if (optRoot->empty()) {
                strError = "--root needs a directory";
                return std::nullopt;
            }
            commandLine.optRoot = *optRoot;
        } else if (strName == "--log-lines") {
            const std::optional<std::string> optCount = TakeValue();
            if (!optCount) {
                return std::nullopt;
            }
            const std::optional<size_t> optLines = ParseCount(*optCount);
            if (!optLines) {
                strError = "--log-lines needs a whole number from 0 to " + std::to_string(kUMaxLogLines) + ", not \"" +
                           *optCount + "\"";
                return std::nullopt;
            }
            commandLine.uLogLines = *optLines;
        } else {
            strError = "unknown argument \"" + strArg + "\"";
            return std::nullopt;
        }
    }
    return commandLine;
}

} // namespace lx::doctor
