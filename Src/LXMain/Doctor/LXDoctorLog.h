#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lx::doctor {

// One record of the launcher log:
// "[info] [2026-12-08 12:00:00.123] [4242:4242] [Launcher] [LXLauncher.cpp:120] Init"
struct LogRecord {
    std::string_view strTime;
    int64_t nPid = 0;
    std::string_view strMessage;
};

std::optional<LogRecord> ParseLogRecord(std::string_view strLine);

// The fields of a message written with the fmt-style format ("{}" marks a
// field); nullopt when the message was not written with it.
std::optional<std::vector<std::string_view>> MatchFormat(std::string_view strFormat, std::string_view strMessage);

enum class LaunchOutcome {
    ClientRan,     // the client returned a result
    ClientStarted, // the client was started and no end was recorded
    FellBack,      // another version's launcher was started
    NoClient,      // nothing started
    Aborted,       // an exception ended the launch
    Unknown,       // nothing after "Init"
};

const char* KeyOf(LaunchOutcome enOutcome);

// What one launcher process recorded, from its "Init" on.
struct LaunchSummary {
    std::string strTime;
    int64_t nPid = 0;
    LaunchOutcome enOutcome = LaunchOutcome::Unknown;
    std::optional<int64_t> optResult;     // the client's result
    std::optional<int64_t> optExitStatus; // as recorded for "no client"
    std::string strFallbackVersion;
    std::optional<int64_t> optFallbackPid;
    std::optional<int64_t> optStartedByPid; // the launch that started this one as its fallback
    std::string strReason;                  // why no client, or why the own library failed
    bool bOnlyInvoked = false;              // an older launcher's record of the attempt only
};

struct UnparsedLine {
    std::filesystem::path pathFile;
    size_t uLineNumber = 0;
    std::string strText;
};

struct LogReading {
    std::vector<LaunchSummary> vtLaunches; // oldest first
    std::vector<UnparsedLine> vtUnparsed;  // the first few only
    size_t uUnparsedCount = 0;
};

// Reads the given files, oldest first, and groups their records into launches
// by process id. Lines that are not records are counted and skipped.
LogReading ReadLaunches(const std::vector<std::filesystem::path>& vtFilesOldestFirst);

} // namespace lx::doctor
