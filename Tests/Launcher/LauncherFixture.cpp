#include "LauncherFixture.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
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

fs::path PlantedPath(const fs::path& pathHome, const std::string& strPath)
{
    const fs::path pathLogs = pathHome / ".config/orvalo/2.0/Logs";
    if (strPath.starts_with("~")) {
        return strPath == "~" ? pathHome : pathHome / strPath.substr(2);
    }
    return strPath == "." ? pathLogs : pathLogs / strPath;
}

std::vector<lx::CLXFileDescriptor> Plant(const fs::path& pathHome, const fs::path& pathVictim,
                                         const std::string& strPlan)
{
    std::vector<lx::CLXFileDescriptor> vtFds;
    std::vector<std::pair<std::string, fs::path>> vtSteps;
    std::istringstream in(strPlan);
    for (std::string strWord; in >> strWord;) {
        const size_t uColon = strWord.find(':');
        vtSteps.emplace_back(strWord.substr(0, uColon), PlantedPath(pathHome, strWord.substr(uColon + 1)));
    }
    WriteFile(pathVictim, std::string(kU64LogLimit - 10, 'v'));
    const auto make = [&](size_t uFrom) {
        for (size_t i = uFrom; i < vtSteps.size() && vtSteps[i].first != "nobody"; ++i) {
            const auto& [strKind, path] = vtSteps[i];
            fs::create_directories(strKind == "dir" || strKind == "open" ? path : path.parent_path());
            if (strKind == "fifo") {
                ::mkfifo(path.c_str(), 0600);
            } else if (strKind == "old" || strKind == "full") {
                WriteFile(path, strKind == "old" ? "old\n" : std::string(kU64LogLimit - 10, 'f'));
            } else if (strKind == "link") {
                fs::create_symlink(pathVictim, path);
            } else if (strKind == "open") {
                fs::permissions(path, fs::perms::all);
                fs::permissions(path.parent_path(), fs::perms::others_exec, fs::perm_options::add);
            } else if (strKind == "give") {
                (void)::lchown(path.c_str(), OtherUser()->uid, 0);
            } else if (strKind == "lock") {
                vtFds.emplace_back(::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
                (void)::flock(vtFds.back().Get(), LOCK_EX);
            }
        }
    };
    make(0);
    for (size_t i = 0; i < vtSteps.size(); ++i) {
        if (vtSteps[i].first == "nobody" && !RunAsUser(*OtherUser(), [&] { return make(i + 1), true; })) {
            ADD_FAILURE() << "another user could not make " << strPlan;
        }
    }
    return vtFds;
}

std::map<fs::path, std::string> Snapshot(const std::vector<fs::path>& vtPaths)
{
    std::map<fs::path, std::string> mapFiles;
    for (const fs::path& path : vtPaths) {
        std::error_code ec;
        if (fs::is_regular_file(fs::symlink_status(path, ec))) {
            mapFiles[path] = ReadFile(path);
        }
        for (auto it = fs::recursive_directory_iterator(path, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            if (fs::is_regular_file(it->symlink_status())) {
                mapFiles[it->path()] = ReadFile(it->path());
            }
        }
    }
    return mapFiles;
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
