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
        // "--name=value" or "--name value".
        const size_t uEquals = vtArgs[i].rfind("--", 0) == 0 ? vtArgs[i].find('=') : std::string::npos;
        const std::string strName = vtArgs[i].substr(0, uEquals);
        std::optional<std::string> optValue;
        if (uEquals != std::string::npos) {
            optValue = vtArgs[i].substr(uEquals + 1);
        } else if ((strName == "--root" || strName == "--log-lines") && i + 1 < vtArgs.size()) {
            optValue = vtArgs[++i];
        }
        const bool bTakesValue = strName == "--root" || strName == "--log-lines";
        if (bTakesValue != optValue.has_value() && (bTakesValue || uEquals != std::string::npos)) {
            strError = bTakesValue ? strName + " needs a value" : "unknown argument \"" + vtArgs[i] + "\"";
            return std::nullopt;
        }
        if (strName == "--help" || strName == "-h") {
            commandLine.bHelp = true;
        } else if (strName == "--json") {
            commandLine.bJson = true;
        } else if (strName == "--root" && !optValue->empty()) {
            commandLine.optRoot = *optValue;
        } else if (strName == "--root") {
            strError = "--root needs a directory";
            return std::nullopt;
        } else if (strName == "--log-lines" && ParseCount(*optValue)) {
            commandLine.uLogLines = *ParseCount(*optValue);
        } else if (strName == "--log-lines") {
            strError = "--log-lines needs a whole number from 0 to " + std::to_string(kUMaxLogLines) + ", not \"" +
                       *optValue + "\"";
            return std::nullopt;
        } else {
            strError = "unknown argument \"" + vtArgs[i] + "\"";
            return std::nullopt;
        }
    }
    return commandLine;
}

} // namespace lx::doctor
