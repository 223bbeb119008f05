#include "LXLauncher.h"

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include <spdlog/spdlog.h>

#include "LXCommon.h"
#include "LXLaunchProcess.h"
#include "LXReporter.h"
#include "LXVersionName.h"

namespace fs = std::filesystem;

int CLXLauncher::Launch(int argc, char** argv)
{
    const auto timePointStart = std::chrono::system_clock::now();

    if (argc > 0 && argv != nullptr && argv[0] != nullptr) {
        m_pathLauncherExeFromCommandLine = fs::path(argv[0]);
    }

    int nResult = 0;
    bool bInvokeLowerVersion = false;

    auto spLaunchRecord = std::make_shared<LaunchAppRecord>();

    const LaunchError enError = LoadMainAppFunc(GetVersionRootDirectoryPath());

    if (enError != LaunchError::LAUNCH_NO_ERROR) {
        Version stSelfVersion = kLauncherVersion;
        stSelfVersion.path = GetVersionRootDirectoryPath();

        spLaunchRecord->vtFailVersion.push_back(LaunchVersionResult{stSelfVersion, enError});

        const fs::path pathParent = (GetVersionRootDirectoryPath() / "..").lexically_normal();
        const std::vector<Version> vtVersions = ParseVersionFromPath(pathParent);
        const std::optional<Version> optLowerVersion = GetValidLowerVersion(
            lx::CapToFallbackCeiling(stSelfVersion, std::getenv(lx::kszFallbackCeilingEnv)), vtVersions);
        if (optLowerVersion) {
            const fs::path exePath = optLowerVersion->path / GetLauncherExePath().filename();
            // Whatever the started launcher's own version, it may only fall
            // further down: a directory whose launcher was built with a
            // higher version must not bounce the launch back up forever.
            // Without the ceiling, then, no fallback at all.
            if (setenv(lx::kszFallbackCeilingEnv, lx::FormatVersion(*optLowerVersion).c_str(), 1) == 0) {
                bInvokeLowerVersion = CLXLaunchProcess::Invoke(exePath, {});
            } else {
                SPDLOG_INFO("No fallback: cannot set {}", lx::kszFallbackCeilingEnv);
            }
        }
    }

    spLaunchRecord->nResultStatus = enError == LaunchError::LAUNCH_NO_ERROR ? 0 : -1;
    spLaunchRecord->bIsTarget = spLaunchRecord->stTargetVersion == spLaunchRecord->stLoadVersion;
    spLaunchRecord->durationElapsed = std::chrono::system_clock::now() - timePointStart;

    CLXReporter::ReportLaunchAppRecord(spLaunchRecord);

    if (enError == LaunchError::LAUNCH_NO_ERROR) {
        nResult = StartMainApp(argc, argv);
        if (nResult != 0) {
            m_errorHandler.HandleStartMainResultError(nResult);
        }
        auto spStartRecord = std::make_shared<StartMainAppRecord>();
        spStartRecord->nResult = nResult;
        spStartRecord->stLoadVersion = spLaunchRecord->stLoadVersion;
        spStartRecord->durationElapsed = std::chrono::system_clock::now() - timePointStart;
        CLXReporter::ReportStartMainAppRecord(spStartRecord);
    }

    if (!bInvokeLowerVersion) {
        m_errorHandler.HandleLaunchError(enError);
    }

    return nResult;
}

int CLXLauncher::StartMainApp(int argc, char** argv)
{
    if (m_funcStartMainApp == nullptr) {
        return static_cast<int>(LaunchError::LAUNCH_NEED_INIT_START_FUNCTION);
    }
    SPDLOG_INFO("StartMainApp, ClientType: {}", static_cast<int>(GetLauncherClientType()));
    const int nResult = m_funcStartMainApp(GetLauncherClientType(), argc, argv);
    SPDLOG_INFO("EndMainApp, result: {}", nResult);
    return nResult;
}

fs::path CLXLauncher::GetLauncherExePathFromCommandLine()
{
    return m_pathLauncherExeFromCommandLine;
}

// Filesystem errors other than absence (an unreadable directory, an entry
// removed or made inaccessible mid-scan) skip what they touch; nothing here
// throws, so a damaged installation still leaves the user with a fallback.
std::vector<Version> CLXLauncher::ParseVersionFromPath(const fs::path& directoryPath)
{
    std::vector<Version> vtVersions;

    const std::unique_ptr<DIR, int (*)(DIR*)> upDir(::opendir(directoryPath.c_str()), &::closedir);
    if (!upDir) {
        return vtVersions;
    }
    // readdir ends alike at the end and on an error: keep what was read, a
    // partial list still offers a fallback.
    while (const dirent* pEntry = ::readdir(upDir.get())) {
        // The name first: it rules out nearly every sibling without a stat.
        const std::string_view strName = pEntry->d_name;
        if (!lx::IsVersionDirectoryName(strName)) {
            continue;
        }
        const fs::path pathEntry = directoryPath / strName;
        // The entry's own type spares a plain directory the stat; a link, or
        // a file system that does not fill the type in, needs one.
        const bool bNeedsStat = pEntry->d_type == DT_LNK || pEntry->d_type == DT_UNKNOWN;
        if (pEntry->d_type == DT_DIR || (bNeedsStat && IsVersionDirectory(pathEntry))) {
            vtVersions.push_back(CreateVersion(pathEntry));
        }
    }
    std::sort(vtVersions.begin(), vtVersions.end(), [](const Version& lhs, const Version& rhs) { return rhs < lhs; });
    return vtVersions;
}

std::optional<Version> CLXLauncher::GetValidLowerVersion(const Version& stVersion,
                                                         const std::vector<Version>& vtVersions)
{
    const fs::path pathLauncherFileName = GetLauncherExePath().filename();

    for (const Version& version : vtVersions) {
        if (!(version < stVersion)) {
            continue;
        }
        if (version.path == stVersion.path) {
            continue;
        }
        // Any status but "not found" counts; a status that cannot be read at
        // all (permission denied) is treated as absent, since it could not
        // be started either.
        std::error_code ec;
        if (fs::exists(fs::status(version.path / pathLauncherFileName, ec))) {
            return version;
        }
    }
    return std::nullopt;
}

bool CLXLauncher::IsVersionDirectory(const fs::path& path)
{
    std::error_code ec;
    if (!fs::is_directory(fs::status(path, ec))) {
        return false;
    }
    return lx::IsVersionDirectoryName(path.filename().native());
}

Version CLXLauncher::CreateVersion(const fs::path& versionPath)
{
    Version stVersion;
    stVersion.path = versionPath;
    lx::ReadVersionNumbers(versionPath.filename().native(), stVersion);
    return stVersion;
}
