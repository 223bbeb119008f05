#include "LXDoctorLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <map>

#include "LXLauncherMessages.h"

namespace fs = std::filesystem;
namespace msg = lx::msg;

namespace {

constexpr size_t kUMaxUnparsedKept = 5;
// A log file is rotated at 5 MiB; a larger one is read from its tail only.
constexpr off_t kNMaxReadBytes = 16 * 1024 * 1024;

bool IsDigit(char ch)
{
    return ch >= '0' && ch <= '9';
}

// "[text] " at the front: the text, and the rest after the space.
std::optional<std::string_view> TakeBracketed(std::string_view& strRest)
{
    if (strRest.empty() || strRest.front() != '[') {
        return std::nullopt;
    }
    const size_t uClose = strRest.find("] ");
    if (uClose == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view strInner = strRest.substr(1, uClose - 1);
    strRest.remove_prefix(uClose + 2);
    return strInner;
}

std::optional<int64_t> ParseNumber(std::string_view str)
{
    int64_t nValue = 0;
    const char* pEnd = str.data() + str.size();
    const auto [pStop, ec] = std::from_chars(str.data(), pEnd, nValue);
    if (str.empty() || ec != std::errc() || pStop != pEnd) {
        return std::nullopt;
    }
    return nValue;
}

// "2026-12-08 12:00:00.123"
bool IsTimestamp(std::string_view str)
{
    constexpr std::string_view kszShape = "dddd-dd-dd dd:dd:dd.ddd";
    if (str.size() != kszShape.size()) {
        return false;
    }
    for (size_t i = 0; i < str.size(); ++i) {
        if (kszShape[i] == 'd' ? !IsDigit(str[i]) : str[i] != kszShape[i]) {
            return false;
        }
    }
    return true;
}

bool TakePrefix(std::string_view& str, std::string_view strPrefix)
{
    if (str.substr(0, strPrefix.size()) != strPrefix) {
        return false;
    }
    str.remove_prefix(strPrefix.size());
    return true;
}

// The version directory name in ".../a.b.c/launcher".
std::string VersionOfLauncherPath(std::string_view strPath)
{
    return fs::path(strPath).parent_path().filename().string();
}

bool IsLibraryFailure(std::string_view strMessage)
{
    for (const std::string_view strFormat :
         {msg::kszLibraryNotFound, msg::kszLibraryNotLoadable, msg::kszLibraryNoEntry}) {
        if (std::string_view strRest = strMessage; TakePrefix(strRest, msg::Piece(strFormat))) {
            return true;
        }
    }
    return false;
}

void ApplyMessage(lx::doctor::LaunchSummary& launch, std::string_view strMessage, bool& bInvoked)
{
    using lx::doctor::LaunchOutcome;
    std::string_view strRest = strMessage;
    if (TakePrefix(strRest, msg::Piece(msg::kszStartMainApp))) {
        launch.enOutcome = LaunchOutcome::ClientStarted;
    } else if (TakePrefix(strRest, msg::Piece(msg::kszEndMainApp))) {
        launch.enOutcome = LaunchOutcome::ClientRan;
        launch.optResult = ParseNumber(strRest);
    } else if (TakePrefix(strRest, msg::Piece(msg::kszAbortedByException)) || strMessage == msg::kszAbortedUnknown) {
        launch.enOutcome = LaunchOutcome::Aborted;
        launch.strReason = strMessage;
    } else if (TakePrefix(strRest, msg::Piece(msg::kszInvokeProcess))) {
        // Older launchers record only the attempt.
        bInvoked = true;
        launch.enOutcome = LaunchOutcome::FellBack;
        launch.strFallbackPath = strRest;
        launch.strFallbackVersion = VersionOfLauncherPath(strRest);
    } else if (TakePrefix(strRest, msg::Piece(msg::kszFallbackChosen))) {
        launch.strFallbackVersion = strRest.substr(0, strRest.find(' '));
    } else if (TakePrefix(strRest, msg::Piece(msg::kszFallbackStarted))) {
        constexpr std::string_view kStrPid = msg::Piece(msg::kszFallbackStarted, 1);
        const size_t uPid = strRest.rfind(kStrPid);
        launch.enOutcome = LaunchOutcome::FellBack;
        launch.strFallbackPath = strRest.substr(0, uPid);
        launch.strFallbackVersion = VersionOfLauncherPath(launch.strFallbackPath);
        if (uPid != std::string_view::npos && strRest.back() == ')') {
            launch.optFallbackPid =
                ParseNumber(strRest.substr(uPid + kStrPid.size(), strRest.size() - uPid - kStrPid.size() - 1));
        }
    } else if (TakePrefix(strRest, msg::Piece(msg::kszCouldNotStart))) {
        if (bInvoked && launch.enOutcome == LaunchOutcome::FellBack) {
            launch.enOutcome = LaunchOutcome::Unknown;
        }
        launch.strReason = strMessage;
    } else if (TakePrefix(strRest, msg::Piece(msg::kszNoClient))) {
        launch.enOutcome = LaunchOutcome::NoClient;
        constexpr std::string_view kStrColon = msg::Piece(msg::kszNoClient, 1);
        const size_t uColon = strRest.find(kStrColon);
        launch.optExitStatus = ParseNumber(strRest.substr(0, uColon));
        if (uColon != std::string_view::npos) {
            launch.strReason = strRest.substr(uColon + kStrColon.size());
        }
    } else if (IsLibraryFailure(strMessage) && launch.strReason.empty()) {
        launch.strReason = strMessage;
    }
}

} // namespace

namespace lx::doctor {

std::optional<LogRecord> ParseLogRecord(std::string_view strLine)
{
    if (!strLine.empty() && strLine.back() == '\r') {
        strLine.remove_suffix(1);
    }
    LogRecord record;
    std::string_view strRest = strLine;
    const auto optLevel = TakeBracketed(strRest);
    const auto optTime = TakeBracketed(strRest);
    const auto optIds = TakeBracketed(strRest);
    const auto optLogger = TakeBracketed(strRest);
    const auto optSource = TakeBracketed(strRest);
    if (!optLevel || !optTime || !optIds || !optLogger || !optSource || !IsTimestamp(*optTime)) {
        return std::nullopt;
    }
    const size_t uIdColon = optIds->find(':');
    const size_t uSourceColon = optSource->rfind(':');
    if (uIdColon == std::string_view::npos || uSourceColon == std::string_view::npos) {
        return std::nullopt;
    }
    const auto optPid = ParseNumber(optIds->substr(0, uIdColon));
    const auto optThread = ParseNumber(optIds->substr(uIdColon + 1));
    const auto optSourceLine = ParseNumber(optSource->substr(uSourceColon + 1));
    if (!optPid || !optThread || !optSourceLine) {
        return std::nullopt;
    }
    record.strLevel = *optLevel;
    record.strTime = *optTime;
    record.nPid = *optPid;
    record.nThread = *optThread;
    record.strLogger = *optLogger;
    record.strSource = optSource->substr(0, uSourceColon);
    record.nSourceLine = *optSourceLine;
    record.strMessage = strRest;
    return record;
}

const char* LaunchOutcomeKey(LaunchOutcome enOutcome)
{
    switch (enOutcome) {
    case LaunchOutcome::ClientRan:
        return "client-ran";
    case LaunchOutcome::ClientStarted:
        return "client-started";
    case LaunchOutcome::FellBack:
        return "fell-back";
    case LaunchOutcome::NoClient:
        return "no-client";
    case LaunchOutcome::Aborted:
        return "aborted";
    case LaunchOutcome::Unknown:
        break;
    }
    return "unknown";
}

namespace {

// The launch each process is in, by index, across files: a launch may span a
// rotation.
struct GroupingState {
    std::map<int64_t, size_t> mapOpenLaunch;
    std::map<size_t, bool> mapInvoked;
};

void AddLaunches(std::string_view strText, const fs::path& pathFile, GroupingState& state, LogReading& reading)
{
    std::map<int64_t, size_t>& mapOpenLaunch = state.mapOpenLaunch;
    size_t uLineNumber = 0;
    while (!strText.empty()) {
        const size_t uEnd = strText.find('\n');
        const std::string_view strLine = strText.substr(0, uEnd);
        strText.remove_prefix(uEnd == std::string_view::npos ? strText.size() : uEnd + 1);
        ++uLineNumber;
        if (strLine.empty()) {
            continue;
        }
        const std::optional<LogRecord> optRecord = ParseLogRecord(strLine);
        if (!optRecord) {
            if (reading.vtUnparsed.size() < kUMaxUnparsedKept) {
                reading.vtUnparsed.push_back({pathFile, uLineNumber, std::string(strLine.substr(0, 200))});
            }
            ++reading.uUnparsedCount;
            continue;
        }
        if (optRecord->strMessage == msg::kszInit) {
            LaunchSummary launch;
            launch.strTime = optRecord->strTime;
            launch.nPid = optRecord->nPid;
            mapOpenLaunch[launch.nPid] = reading.vtLaunches.size();
            reading.vtLaunches.push_back(std::move(launch));
            continue;
        }
        const auto itOpen = mapOpenLaunch.find(optRecord->nPid);
        if (itOpen == mapOpenLaunch.end()) {
            continue; // its "Init" is in an older file that was rotated away
        }
        ApplyMessage(reading.vtLaunches[itOpen->second], optRecord->strMessage, state.mapInvoked[itOpen->second]);
    }
}

} // namespace

LogReading ReadLaunches(const std::vector<fs::path>& vtFilesOldestFirst)
{
    LogReading reading;
    GroupingState state;
    for (const fs::path& pathFile : vtFilesOldestFirst) {
        // Non-blocking, so a FIFO in the log's place cannot hang the doctor;
        // never through a link, which the launcher does not follow either.
        const int nFd = ::open(pathFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
        if (nFd < 0) {
            continue;
        }
        struct stat stStat {};
        std::string strText;
        if (::fstat(nFd, &stStat) == 0 && S_ISREG(stStat.st_mode)) {
            const off_t nStart = stStat.st_size > kNMaxReadBytes ? stStat.st_size - kNMaxReadBytes : 0;
            strText.resize(static_cast<size_t>(stStat.st_size - nStart));
            const ssize_t nRead = ::pread(nFd, strText.data(), strText.size(), nStart);
            strText.resize(nRead > 0 ? static_cast<size_t>(nRead) : 0);
            if (nStart > 0) {
                strText.erase(0, strText.find('\n') + 1); // a cut first line is no record
            }
        }
        ::close(nFd);
        AddLaunches(strText, pathFile, state, reading);
    }
    // Linked afterwards: a started launcher's "Init" may be written before
    // its starter's record of the start.
    for (size_t i = 0; i < reading.vtLaunches.size(); ++i) {
        for (size_t j = i + 1; reading.vtLaunches[i].optFallbackPid && j < reading.vtLaunches.size(); ++j) {
            if (reading.vtLaunches[j].nPid == *reading.vtLaunches[i].optFallbackPid) {
                reading.vtLaunches[j].optStartedByPid = reading.vtLaunches[i].nPid;
                break;
            }
        }
    }
    return reading;
}

} // namespace lx::doctor
