#include "LXVersionName.h"

#include <dirent.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <memory>
#include <system_error>

namespace {

bool IsAsciiDigit(char ch)
{
    return ch >= '0' && ch <= '9';
}

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

} // namespace

namespace fs = std::filesystem;

namespace lx {

// Whole-name match of "\d+\.\d+\.\d+" with ASCII digits only. Written out
// rather than with std::regex: its matcher recurses per character and its
// \d follows the global locale.
bool IsVersionDirectoryName(std::string_view strName)
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

std::string FormatVersion(const Version& stVersion)
{
    return std::to_string(stVersion.uMajor) + "." + std::to_string(stVersion.uMinor) + "." +
           std::to_string(stVersion.uPatch) + "." + std::to_string(stVersion.uTweak);
}

std::string FormatVersionList(const std::vector<Version>& vtVersions)
{
    if (vtVersions.empty()) {
        return "none";
    }
    std::string strList;
    for (const Version& stVersion : vtVersions) {
        if (!strList.empty()) {
            strList += ", ";
        }
        strList += stVersion.path.filename().string();
    }
    return strList;
}

bool IsVersionDirectory(const fs::path& path)
{
    std::error_code ec;
    if (!fs::is_directory(fs::status(path, ec))) {
        return false;
    }
    return IsVersionDirectoryName(path.filename().native());
}

Version CreateVersion(const fs::path& versionPath)
{
    Version stVersion;
    stVersion.path = versionPath;
    ReadVersionNumbers(versionPath.filename().native(), stVersion);
    return stVersion;
}

std::vector<Version> ScanVersionDirectories(const fs::path& directoryPath)
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
        if (!IsVersionDirectoryName(strName)) {
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

} // namespace lx
