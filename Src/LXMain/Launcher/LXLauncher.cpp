#include "LXLauncher.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include <spdlog/spdlog.h>

#include "LXCommon.h"
#include "LXLaunchProcess.h"
#include "LXReporter.h"

namespace fs = std::filesystem;

namespace {

bool IsAsciiDigit(char ch)
{
    return ch >= '0' && ch <= '9';
}

} // namespace

// Whole-name match of "\d+\.\d+\.\d+" with ASCII digits only. Written out
// rather than with std::regex: its matcher recurses per character and its
// \d follows the global locale.
bool lx::IsVersionDirectoryName(std::string_view strName)
{
    size_t uPos = 0;
    for (int nRun = 0; nRun < 3; ++nRun) {
        if (nRun > 0) {
            if (uPos >= strName.size() || strName[uPos] != '.') {
                return false;
            }
            ++uPos;
        }
        const size_t uRunStart = uPos;
        while (uPos < strName.size() && IsAsciiDigit(strName[uPos])) {
            ++uPos;
        }
        if (uPos == uRunStart) {
            return false;
        }
    }
    return uPos == strName.size();
}

namespace {

// Reads a digit run as unsigned decimal, ignoring leading zeros and
// saturating at the largest 32-bit value.
uint32_t ParseDigitRun(std::string_view strRun)
{
    constexpr uint32_t kU32Max = std::numeric_limits<uint32_t>::max();
    const size_t uFirstNonZero = strRun.find_first_not_of('0');
    if (uFirstNonZero == std::string_view::npos) {
        return 0;
    }
    strRun.remove_prefix(uFirstNonZero);
    if (strRun.size() > std::numeric_limits<uint32_t>::digits10 + 1) {
        return kU32Max;
    }
    uint64_t uValue = 0;
    std::from_chars(strRun.data(), strRun.data() + strRun.size(), uValue);
    return uValue > kU32Max ? kU32Max : static_cast<uint32_t>(uValue);
}

// Up to four maximal digit runs of the text, in order, into the four numbers;
// numbers without a run are left as they are.
void ReadVersionNumbers(std::string_view strText, Version& stVersion)
{
    uint32_t* const arrNumbers[] = {&stVersion.uMajor, &stVersion.uMinor, &stVersion.uPatch, &stVersion.uTweak};
    size_t uPos = 0;
    for (uint32_t* puNumber : arrNumbers) {
        while (uPos < strText.size() && !IsAsciiDigit(strText[uPos])) {
            ++uPos;
        }
        if (uPos == strText.size()) {
            break;
        }
        const size_t uRunStart = uPos;
        while (uPos < strText.size() && IsAsciiDigit(strText[uPos])) {
            ++uPos;
        }
        *puNumber = ParseDigitRun(strText.substr(uRunStart, uPos - uRunStart));
    }
}

std::string FormatVersionNumbers(const Version& stVersion)
{
    return std::to_string(stVersion.uMajor) + "." + std::to_string(stVersion.uMinor) + "." +
           std::to_string(stVersion.uPatch) + "." + std::to_string(stVersion.uTweak);
}

// The version a fallback started by another launcher must stay below: the
// lower of our own and the one the starting launcher chose.
Version CapToFallbackCeiling(const Version& stSelfVersion)
{
    Version stCeiling = stSelfVersion;
    const char* szCeiling = std::getenv(kszFallbackCeilingEnv);
    if (szCeiling == nullptr || *szCeiling == '\0') {
        return stCeiling;
    }
    Version stInherited;
    ReadVersionNumbers(szCeiling, stInherited);
    if (stInherited < stCeiling) {
        stCeiling.uMajor = stInherited.uMajor;
        stCeiling.uMinor = stInherited.uMinor;
        stCeiling.uPatch = stInherited.uPatch;
        stCeiling.uTweak = stInherited.uTweak;
    }
    return stCeiling;
}

} // namespace

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
        const std::optional<Version> optLowerVersion =
            GetValidLowerVersion(CapToFallbackCeiling(stSelfVersion), vtVersions);
        if (optLowerVersion) {
            const fs::path exePath = optLowerVersion->path / GetLauncherExePath().filename();
            // Whatever the started launcher's own version, it may only fall
            // further down: a directory whose launcher was built with a
            // higher version must not bounce the launch back up forever.
            setenv(kszFallbackCeilingEnv, FormatVersionNumbers(*optLowerVersion).c_str(), 1);
            bInvokeLowerVersion = CLXLaunchProcess::Invoke(exePath, {});
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

    std::error_code ec;
    if (!fs::is_directory(fs::status(directoryPath, ec))) {
        return vtVersions;
    }

    fs::directory_iterator itEntry(directoryPath, ec);
    if (ec) {
        return vtVersions;
    }
    for (const fs::directory_iterator itEnd; itEntry != itEnd; itEntry.increment(ec)) {
        if (ec) {
            break; // keep what was read: a partial list still offers a fallback
        }
        const fs::path pathEntry = directoryPath / itEntry->path().filename();
        if (IsVersionDirectory(pathEntry)) {
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
    ReadVersionNumbers(versionPath.filename().native(), stVersion);
    return stVersion;
}
