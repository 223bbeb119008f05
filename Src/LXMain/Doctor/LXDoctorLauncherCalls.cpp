// The doctor's only door into the launcher's rules: each function here calls
// the launcher's own code.

#include <cstdlib>

#include "LXDoctorRules.h"
#include "LXFallback.h"
#include "LXLauncherLog.h"
#include "LXLinuxLauncher.h"
#include "LXVersionName.h"

namespace fs = std::filesystem;

namespace {

// The launcher's class, placed at a chosen launcher path, so its scan and
// its choice of fallback run unchanged.
class CPlacedLauncher : public CLXLinuxLauncher {
public:
    explicit CPlacedLauncher(fs::path pathExe = {}) : m_pathPlacedExe(std::move(pathExe)) {}

    using CLXLauncher::ParseVersionFromPath;
    using CLXLinuxLauncher::GetVersionRootDirectoryPath;

    fs::path GetLauncherExePath() override
    {
        return m_pathPlacedExe.empty() ? CLXLinuxLauncher::GetLauncherExePath() : m_pathPlacedExe;
    }
    void SetProgramName(const char* szArgv0)
    {
        if (szArgv0 != nullptr) {
            m_pathLauncherExeFromCommandLine = szArgv0;
        }
    }

private:
    fs::path m_pathPlacedExe;
};

bool HasDigit(std::string_view strText)
{
    return strText.find_first_of("0123456789") != std::string_view::npos;
}

} // namespace

namespace lx::doctor {

std::vector<Version> ScanVersions(const fs::path& pathRoot)
{
    CPlacedLauncher launcher(pathRoot / "." / kszLauncherFileName);
    return launcher.ParseVersionFromPath(pathRoot);
}

std::optional<Version> ParseVersionText(std::string_view strText)
{
    if (!HasDigit(strText)) {
        return std::nullopt;
    }
    Version stVersion;
    lx::ReadVersionNumbers(strText, stVersion);
    return stVersion;
}

std::string FormatVersion(const Version& stVersion)
{
    return lx::FormatVersion(stVersion);
}

const char* MainAppLibraryName()
{
    return lx::kszMainAppLibraryName;
}

const char* FallbackCeilingVariable()
{
    return lx::kszFallbackCeilingEnv;
}

std::vector<fs::path> LauncherLogFiles()
{
    const std::string strHome = lx::HomeDirectory();
    if (strHome.empty()) {
        return {};
    }
    const fs::path pathDir = fs::path(lx::LauncherLogFilePathForHome(strHome)).parent_path();
    const lx::CLXRotatingLogSink::Layout layout = lx::LauncherLogLayout();
    std::vector<fs::path> vtFiles;
    for (uint32_t u32Index = 0; u32Index <= layout.u32MaxFiles; ++u32Index) {
        vtFiles.push_back(pathDir / lx::CLXRotatingLogSink::FileName(layout, u32Index));
    }
    return vtFiles;
}

LogCheck CheckLauncherLog()
{
    LogCheck check;
    const std::string strHome = lx::HomeDirectory();
    if (strHome.empty()) {
        check.strDirectoryProblem = "no home directory is known";
        check.strFileProblem = check.strDirectoryProblem;
        return check;
    }
    const lx::LogPathStatus status = lx::CheckLauncherLog(strHome);
    if (!status.ec) {
        return check;
    }
    // The check names what it refused: a file in the log directory, or the
    // directory itself or one above it.
    const fs::path pathDir = fs::path(lx::LauncherLogFilePathForHome(strHome)).parent_path();
    const std::string strProblem = status.strPath + ": " + status.ec.message();
    if (fs::path(status.strPath).parent_path() == pathDir) {
        check.strFileProblem = strProblem;
    } else {
        check.strDirectoryProblem = strProblem;
        check.strFileProblem = "its directory is refused";
    }
    return check;
}

SelfLocation LocateSelf(const char* szArgv0)
{
    CPlacedLauncher launcher;
    launcher.SetProgramName(szArgv0);
    SelfLocation location;
    location.pathExe = launcher.GetLauncherExePath();
    location.pathRoot = (launcher.GetVersionRootDirectoryPath() / "..").lexically_normal();
    return location;
}

} // namespace lx::doctor
