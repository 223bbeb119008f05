#include "LauncherFixture.h"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/ostream_sink.h>

namespace fs = std::filesystem;

namespace lxtest {

fs::path Installation::AddVersion(const std::string& strName, MainApp enApp, bool bWithLauncher)
{
    const fs::path pathDir = AppRoot() / strName;
    fs::create_directories(pathDir);
    if (bWithLauncher) {
        fs::copy_file(kPathLauncherExe, pathDir / "launcher");
    }
    if (enApp == MainApp::StandIn) {
        fs::copy_file(kPathStandInLibrary, pathDir / kszMainAppLibrary);
        // What the main application links against ships beside it.
        for (const char* szDependency : {"libSarnel.so", "libVantrel.so", "libOstrum.so"}) {
            fs::copy_file(kPathStandInLibrary.parent_path() / szDependency, pathDir / szDependency);
        }
    } else if (enApp == MainApp::NoEntry) {
        fs::copy_file(kPathNoEntryLibrary, pathDir / kszMainAppLibrary);
    } else if (enApp == MainApp::Scripted) {
        fs::copy_file(kPathScriptedLibrary, pathDir / kszMainAppLibrary);
    }
    return pathDir;
}

fs::path Installation::AddScriptVersion(const std::string& strName, const std::string& strLauncherName)
{
    const fs::path pathDir = AppRoot() / strName;
    const fs::path pathRecord = ScriptRecord(strName);
    WriteScript(pathDir / strLauncherName, ListDescriptorsCommand(pathRecord.string() + ".fds") + "\n" +
                                               "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                                               pathRecord.string() + ".tmp'\n" + "mv '" + pathRecord.string() +
                                               ".tmp' '" + pathRecord.string() + "'\n");
    return pathDir;
}

std::string ListDescriptorsCommand(const fs::path& pathOutput)
{
    return "ls -l /proc/self/fd/ > '" + pathOutput.string() + "'";
}

std::vector<std::string> ForeignDescriptors(const fs::path& pathListing, const fs::path& pathScript)
{
    std::vector<std::string> vtForeign;
    for (const std::string& strLine : ReadLines(pathListing)) {
        const size_t uArrow = strLine.find(" -> ");
        if (uArrow == std::string::npos) {
            continue;
        }
        const size_t uNameStart = strLine.rfind(' ', uArrow - 1) + 1;
        const int nFd = std::stoi(strLine.substr(uNameStart, uArrow - uNameStart));
        const std::string strTarget = strLine.substr(uArrow + 4);
        if (nFd > 2 && strTarget.rfind("/proc/", 0) != 0 && strTarget != pathScript.string()) {
            vtForeign.push_back(std::to_string(nFd) + " -> " + strTarget);
        }
    }
    return vtForeign;
}

CapturedLog::CapturedLog()
{
    auto spSink = std::make_shared<spdlog::sinks::ostream_sink_mt>(m_stream);
    auto spLogger = std::make_shared<spdlog::logger>("Launcher", spSink);
    spLogger->set_pattern("[%l] [%s:%#] %v");
    spdlog::set_default_logger(spLogger);
}

CapturedLog::~CapturedLog()
{
    spdlog::set_default_logger(std::make_shared<spdlog::logger>("", std::make_shared<spdlog::sinks::null_sink_mt>()));
}

std::string CapturedLog::Text()
{
    spdlog::default_logger()->flush();
    return m_stream.str();
}

Version MakeVersion(uint32_t uMajor, uint32_t uMinor, uint32_t uPatch, uint32_t uTweak, fs::path path)
{
    Version stVersion;
    stVersion.uMajor = uMajor;
    stVersion.uMinor = uMinor;
    stVersion.uPatch = uPatch;
    stVersion.uTweak = uTweak;
    stVersion.path = std::move(path);
    return stVersion;
}

} // namespace lxtest
