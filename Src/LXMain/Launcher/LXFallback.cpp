#include "LXFallback.h"

#include <cstdint>
#include <iterator>
#include <system_error>

namespace fs = std::filesystem;

namespace lx {

std::optional<NoClientReason> NoClientReasonFor(MainAppState enOwnApp, size_t uCandidatesTried, bool bFallbackStarted)
{
    if (enOwnApp == MainAppState::Usable || bFallbackStarted) {
        return std::nullopt;
    }
    if (uCandidatesTried > 0) {
        return NoClientReason::NoFallbackStarted;
    }
    return enOwnApp == MainAppState::NotFound ? NoClientReason::NoMainApp : NoClientReason::MainAppUnusable;
}

int ExitStatusFor(NoClientReason enReason)
{
    return enReason == NoClientReason::NoMainApp ? kNExitNoMainApp : kNExitMainAppUnusable;
}

const char* DescribeNoClientReason(NoClientReason enReason)
{
    switch (enReason) {
    case NoClientReason::NoMainApp:
        return "no main application library found";
    case NoClientReason::MainAppUnusable:
        return "main application library unusable";
    case NoClientReason::NoFallbackStarted:
        break;
    }
    return "no fallback launcher could be started";
}

std::optional<Version> ParseFallbackCeiling(std::string_view strText)
{
    // Ten digits hold every 32-bit value; more cannot be one.
    constexpr size_t kuMaxDigits = 10;
    Version stVersion;
    uint32_t* const arrNumbers[] = {&stVersion.uMajor, &stVersion.uMinor, &stVersion.uPatch, &stVersion.uTweak};
    size_t uPos = 0;
    for (size_t uIndex = 0; uIndex < std::size(arrNumbers); ++uIndex) {
        if (uIndex > 0) {
            if (uPos >= strText.size() || strText[uPos] != '.') {
                return std::nullopt;
            }
            ++uPos;
        }
        uint64_t uValue = 0;
        const size_t uRunStart = uPos;
        while (uPos < strText.size() && strText[uPos] >= '0' && strText[uPos] <= '9') {
            if (uPos - uRunStart == kuMaxDigits) {
                return std::nullopt;
            }
            uValue = uValue * 10 + static_cast<uint64_t>(strText[uPos] - '0');
            ++uPos;
        }
        if (uPos == uRunStart || uValue > UINT32_MAX) {
            return std::nullopt;
        }
        *arrNumbers[uIndex] = static_cast<uint32_t>(uValue);
    }
    if (uPos != strText.size()) {
        return std::nullopt;
    }
    return stVersion;
}

FallbackCeilingSetting ReadFallbackCeiling(const char* szValue)
{
    FallbackCeilingSetting stSetting;
    if (szValue == nullptr || *szValue == '\0') {
        return stSetting;
    }
    stSetting.optCeiling = ParseFallbackCeiling(szValue);
    if (!stSetting.optCeiling) {
        stSetting.optIgnored = szValue;
    }
    return stSetting;
}

Version EffectiveCeiling(const Version& stOwnVersion, const std::optional<Version>& optInherited)
{
    Version stCeiling = stOwnVersion;
    if (optInherited && *optInherited < stCeiling) {
        stCeiling.uMajor = optInherited->uMajor;
        stCeiling.uMinor = optInherited->uMinor;
        stCeiling.uPatch = optInherited->uPatch;
        stCeiling.uTweak = optInherited->uTweak;
    }
    return stCeiling;
}

std::vector<Version> FallbackCandidates(const Version& stCeiling, const fs::path& pathOwnDirectory,
                                        const std::vector<Version>& vtScanned, const fs::path& pathLauncherFileName)
{
    std::vector<Version> vtCandidates;
    for (const Version& stVersion : vtScanned) {
        if (!(stVersion < stCeiling) || stVersion.path == pathOwnDirectory) {
            continue;
        }
        std::error_code ec;
        if (fs::exists(fs::status(stVersion.path / pathLauncherFileName, ec))) {
            vtCandidates.push_back(stVersion);
        }
    }
    return vtCandidates;
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

std::string EscapeControlCharacters(std::string_view strText)
{
    constexpr char kszHexDigits[] = "0123456789abcdef";
    std::string strEscaped;
    strEscaped.reserve(strText.size());
    for (const char ch : strText) {
        const auto uByte = static_cast<unsigned char>(ch);
        if (ch == '\\') {
            strEscaped += "\\\\";
        } else if (ch == '\n') {
            strEscaped += "\\n";
        } else if (ch == '\t') {
            strEscaped += "\\t";
        } else if (ch == '\r') {
            strEscaped += "\\r";
        } else if (uByte < 0x20 || uByte == 0x7f) {
            strEscaped += "\\x";
            strEscaped += kszHexDigits[uByte >> 4];
            strEscaped += kszHexDigits[uByte & 0xf];
        } else {
            strEscaped += ch;
        }
    }
    return strEscaped;
}

std::string TerminalLine(const char* szArgv0, NoClientReason enReason, std::string_view strLogPath)
{
    std::string_view strProgram = szArgv0 != nullptr ? szArgv0 : "";
    if (const size_t uSlash = strProgram.rfind('/'); uSlash != std::string_view::npos) {
        strProgram.remove_prefix(uSlash + 1);
    }
    if (strProgram.empty()) {
        strProgram = "launcher";
    }
    return EscapeControlCharacters(strProgram) +
           ": the client could not be started: " + DescribeNoClientReason(enReason) + "; see " +
           EscapeControlCharacters(strLogPath) + "\n";
}

} // namespace lx
