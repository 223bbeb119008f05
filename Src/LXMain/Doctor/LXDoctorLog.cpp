#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <unordered_map>

#include "LXDoctor.h"
#include "LXLauncherMessages.h"
#include "LXPosix.h"
#include "LXText.h"

namespace fs = std::filesystem;

namespace {

using namespace lx::doctor;

constexpr size_t kUMaxUnparsedKept = 5;
// A log file is rotated at 5 MiB; a larger one is read from its tail only.
constexpr off_t kNMaxReadBytes = 16 * 1024 * 1024;

std::optional<int64_t> ParseNumber(std::string_view str)
{
    int64_t nValue = 0;
    return lx::ReadWholeNumber(str, nValue) ? std::optional<int64_t>(nValue) : std::nullopt;
}

// "2026-12-08 12:00:00.123"
bool IsTimestamp(std::string_view str)
{
    constexpr std::string_view kStrShape = "dddd-dd-dd dd:dd:dd.ddd";
    for (size_t i = 0; i < kStrShape.size() && str.size() == kStrShape.size(); ++i) {
        if (kStrShape[i] == 'd' ? str[i] < '0' || str[i] > '9' : str[i] != kStrShape[i]) {
            return false;
        }
    }
    return str.size() == kStrShape.size();
}

// The version directory name in ".../a.b.c/launcher".
std::string VersionOfLauncherPath(std::string_view strPath)
{
    return fs::path(strPath).parent_path().filename().string();
}

void ApplyMessage(LaunchSummary& launch, std::string_view strMessage)
{
    using Fields = std::optional<std::vector<std::string_view>>;
    if (MatchFormat(lx::msg::kszStartMainApp, strMessage)) {
        launch.enOutcome = LaunchOutcome::ClientStarted;
    } else if (const Fields optResult = MatchFormat(lx::msg::kszEndMainApp, strMessage)) {
        launch.enOutcome = LaunchOutcome::ClientRan;
        launch.optResult = ParseNumber(optResult->at(0));
    } else if (MatchFormat(lx::msg::kszAbortedByException, strMessage) ||
               MatchFormat(lx::msg::kszAbortedUnknown, strMessage)) {
        launch.enOutcome = LaunchOutcome::Aborted;
        launch.strReason = strMessage;
    } else if (const Fields optPath = MatchFormat(lx::msg::kszInvokeProcess, strMessage)) {
        launch.bOnlyInvoked = true;
        launch.enOutcome = LaunchOutcome::FellBack;
        launch.strFallbackVersion = VersionOfLauncherPath(optPath->at(0));
    } else if (const Fields optChosen = MatchFormat(lx::msg::kszFallbackChosen, strMessage)) {
        launch.strFallbackVersion = optChosen->at(0);
    } else if (const Fields optStarted = MatchFormat(lx::msg::kszFallbackStarted, strMessage)) {
        launch.bOnlyInvoked = false;
        launch.enOutcome = LaunchOutcome::FellBack;
        launch.strFallbackVersion = VersionOfLauncherPath(optStarted->at(0));
        launch.optFallbackPid = ParseNumber(optStarted->at(1));
    } else if (MatchFormat(lx::msg::kszCouldNotStart, strMessage)) {
        if (launch.bOnlyInvoked && launch.enOutcome == LaunchOutcome::FellBack) {
            launch.enOutcome = LaunchOutcome::Unknown;
        }
        launch.strReason = strMessage;
    } else if (const Fields optEnd = MatchFormat(lx::msg::kszNoClient, strMessage)) {
        launch.enOutcome = LaunchOutcome::NoClient;
        launch.optExitStatus = ParseNumber(optEnd->at(0));
        launch.strReason = optEnd->at(1);
    } else if (launch.strReason.empty() && (MatchFormat(lx::msg::kszLibraryNotFound, strMessage) ||
                                            MatchFormat(lx::msg::kszLibraryNotLoadable, strMessage) ||
                                            MatchFormat(lx::msg::kszLibraryNoEntry, strMessage))) {
        launch.strReason = strMessage;
    }
}

std::string ReadTail(const fs::path& pathFile)
{
    // Non-blocking, so a FIFO in the log's place cannot hang the doctor;
    // never through a link, which the launcher does not follow either.
    const lx::CLXFileDescriptor fdLog(
        ::open(pathFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    struct stat stStat {};
    std::string strText;
    if (fdLog.Get() >= 0 && ::fstat(fdLog.Get(), &stStat) == 0 && S_ISREG(stStat.st_mode)) {
        const off_t nStart = std::max<off_t>(stStat.st_size - kNMaxReadBytes, 0);
        strText.resize(static_cast<size_t>(stStat.st_size - nStart));
        const ssize_t nRead = ::pread(fdLog.Get(), strText.data(), strText.size(), nStart);
        strText.resize(nRead > 0 ? static_cast<size_t>(nRead) : 0);
        if (nStart > 0) {
            strText.erase(0, strText.find('\n') + 1); // a cut first line is no record
        }
    }
    return strText;
}

} // namespace

namespace lx::doctor {

std::optional<LogRecord> ParseLogRecord(std::string_view strLine)
{
    if (!strLine.empty() && strLine.back() == '\r') {
        strLine.remove_suffix(1);
    }
    // Five "[...] " fields, then the message.
    std::string_view arrFields[5];
    for (std::string_view& strField : arrFields) {
        const size_t uClose = strLine.find("] ");
        if (strLine.empty() || strLine.front() != '[' || uClose == std::string_view::npos) {
            return std::nullopt;
        }
        strField = strLine.substr(1, uClose - 1);
        strLine.remove_prefix(uClose + 2);
    }
    const std::string_view strIds = arrFields[2];
    const std::string_view strSource = arrFields[4];
    const size_t uIdColon = strIds.find(':');
    const size_t uSourceColon = strSource.rfind(':');
    const std::optional<int64_t> optPid = ParseNumber(strIds.substr(0, uIdColon));
    if (!IsTimestamp(arrFields[1]) || uIdColon == std::string_view::npos || !optPid ||
        !ParseNumber(strIds.substr(uIdColon + 1)) || uSourceColon == std::string_view::npos ||
        !ParseNumber(strSource.substr(uSourceColon + 1))) {
        return std::nullopt;
    }
    return LogRecord{arrFields[1], *optPid, strLine};
}

std::optional<std::vector<std::string_view>> MatchFormat(std::string_view strFormat, std::string_view strMessage)
{
    std::vector<std::string_view> vtFields;
    size_t uField = strFormat.find("{}");
    if (strMessage.substr(0, uField) != strFormat.substr(0, uField)) {
        return std::nullopt;
    }
    strMessage.remove_prefix(std::min(uField, strMessage.size()));
    while (uField != std::string_view::npos) {
        const size_t uLiteral = uField + 2;
        const size_t uNext = strFormat.find("{}", uLiteral);
        const std::string_view strLiteral = strFormat.substr(uLiteral, uNext - uLiteral);
        // The last literal ends the message; any other is the next match.
        const size_t uAt = uNext == std::string_view::npos
                               ? (strMessage.size() >= strLiteral.size() ? strMessage.size() - strLiteral.size()
                                                                         : std::string_view::npos)
                               : strMessage.find(strLiteral);
        if (uAt == std::string_view::npos || strMessage.substr(uAt, strLiteral.size()) != strLiteral) {
            return std::nullopt;
        }
        vtFields.push_back(strMessage.substr(0, uAt));
        strMessage.remove_prefix(uAt + strLiteral.size());
        uField = uNext;
    }
    if (!strMessage.empty()) {
        return std::nullopt;
    }
    return vtFields;
}

const char* KeyOf(LaunchOutcome enOutcome)
{
    // In the order of LaunchOutcome.
    static constexpr const char* kArrSzKeys[] = {"client-ran", "client-started", "fell-back",
                                                 "no-client",  "aborted",        "unknown"};
    return kArrSzKeys[static_cast<size_t>(enOutcome)];
}

LogReading ReadLaunches(const std::vector<fs::path>& vtFilesOldestFirst)
{
    LogReading reading;
    // The launch each process is in, across files: a launch may span a
    // rotation.
    std::unordered_map<int64_t, size_t> mapOpenLaunch;
    for (const fs::path& pathFile : vtFilesOldestFirst) {
        const std::string strContent = ReadTail(pathFile);
        std::string_view strText = strContent;
        for (size_t uLineNumber = 1; !strText.empty(); ++uLineNumber) {
            const std::string_view strLine = strText.substr(0, strText.find('\n'));
            strText.remove_prefix(std::min(strLine.size() + 1, strText.size()));
            const std::optional<LogRecord> optRecord = ParseLogRecord(strLine);
            if (!optRecord && !strLine.empty()) {
                if (reading.vtUnparsed.size() < kUMaxUnparsedKept) {
                    reading.vtUnparsed.push_back({pathFile, uLineNumber, std::string(strLine.substr(0, 200))});
                }
                ++reading.uUnparsedCount;
            } else if (optRecord && optRecord->strMessage == lx::msg::kszInit) {
                mapOpenLaunch[optRecord->nPid] = reading.vtLaunches.size();
                reading.vtLaunches.emplace_back().nPid = optRecord->nPid;
                reading.vtLaunches.back().strTime = optRecord->strTime;
            } else if (const auto it = optRecord ? mapOpenLaunch.find(optRecord->nPid) : mapOpenLaunch.end();
                       it != mapOpenLaunch.end()) {
                // Records whose "Init" was rotated away are left out.
                ApplyMessage(reading.vtLaunches[it->second], optRecord->strMessage);
            }
        }
    }
    // Linked afterwards, to the first later launch of that process: a
    // started launcher's "Init" may be written before its starter's record
    // of the start. Walked backwards, so the map holds the nearest later one.
    std::unordered_map<int64_t, size_t> mapLaterLaunch;
    for (size_t i = reading.vtLaunches.size(); i-- > 0;) {
        const LaunchSummary& launch = reading.vtLaunches[i];
        const auto it = launch.optFallbackPid ? mapLaterLaunch.find(*launch.optFallbackPid) : mapLaterLaunch.end();
        if (it != mapLaterLaunch.end()) {
            reading.vtLaunches[it->second].optStartedByPid = launch.nPid;
        }
        mapLaterLaunch[launch.nPid] = i;
    }
    return reading;
}

} // namespace lx::doctor
