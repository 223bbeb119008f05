#pragma once

// Whether a build of a version keeps failing at start, so the launcher can
// hold it back and fall back to an older one. Every start records a try; the
// try is cleared once the client proved itself (its entry returned, it called
// exit(), or it lived through the window). A try left behind by a process
// that is gone is a failed start; three in a row hold the build back.
//
// The state is file names alone, empty files in a private directory: making,
// renaming and removing a name are each atomic, so launchers running at once
// need no lock and never see half a record, and no temporary file exists.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "LXLogFile.h"
#include "LXPosix.h"

namespace lx {

inline constexpr const char* kszHealthEnv = "LX_LAUNCHER_HEALTH";
// For tests only: the window in milliseconds instead of a minute.
inline constexpr const char* kszHealthWindowEnv = "LX_LAUNCHER_HEALTH_TEST_WINDOW_MS";
inline constexpr uint32_t kU32FailedStartsToHold = 3;
inline constexpr std::chrono::milliseconds kDurationHealthWindow{60000};
// An unfinished try this old says nothing about the build any more.
inline constexpr std::chrono::seconds kDurationTryForgotten{24 * 3600};

enum class HealthMode {
    RECORD, // count tries, hold a failing build
    RESET,  // forget every try first
    OFF,    // neither record nor hold, this launch
};

// kszHealthEnv and kszHealthWindowEnv as the launcher reads them.
struct HealthSetting {
    HealthMode enMode = HealthMode::RECORD;
    std::chrono::milliseconds msWindow = kDurationHealthWindow;
    std::optional<std::string> optIgnored; // a value that is neither "reset" nor "off"

    // nullptr for unset; empty counts as unset. The window is taken when it
    // is 1 to 60000 ms.
    static HealthSetting Read(const char* szMode, const char* szWindow);
};

// A build of the library: a reinstalled or rebuilt file is another build.
struct BuildIdentity {
    uint64_t u64Device = 0;
    uint64_t u64Inode = 0;
    uint64_t u64Size = 0;
    int64_t n64MtimeNs = 0;

    bool operator==(const BuildIdentity&) const = default;
};
// The library file's identity, links followed as the loader follows them.
std::optional<BuildIdentity> IdentifyBuild(const std::filesystem::path& pathLibrary);

// One try, as its file name records it.
struct TryRecord {
    bool bFailed = false; // judged a failed start; else still unfinished
    std::string strVersion;
    pid_t nPid = 0;
    // When the try was recorded, in clock ticks since boot: its process
    // started no later, and a process that took its pid after it, later.
    uint64_t u64BootTicks = 0;
    std::string strBootId; // 32 hex digits
    int64_t n64Time = 0;   // when it started, seconds since the epoch
    BuildIdentity identity;
};
// "try_<version>_<pid>_<boot ticks>_<boot id>_<time>_<dev>_<ino>_<size>_<mtime ns>"
// ("fail_..." once failed), the version with bytes other than letters,
// digits, '.' and '-' as %XX; empty when longer than a file name may be.
std::string FormatTryName(const TryRecord& record);
std::optional<TryRecord> ParseTryName(std::string_view strName);

// What a judge needs to know about this machine now.
struct HealthClock {
    std::string strBootId;
    int64_t n64Now = 0;
    // A live process's start, in clock ticks since boot; nullopt when there
    // is none of that pid.
    std::function<std::optional<uint64_t>(pid_t)> funcStartTicks;

    // This boot and its running processes; nullopt without /proc.
    static std::optional<HealthClock> OfThisMachine();
};

enum class TryVerdict {
    RUNNING, // its process is still alive: not counted
    DROPPED, // from another boot, or too old: forgotten
    FAILED,
};
TryVerdict JudgeTry(const TryRecord& record, const HealthClock& clock);

enum class HealthState {
    OK,
    FAILING, // failed starts, not yet held
    HELD,
};

// What the tries say about one build.
struct BuildHealth {
    HealthState enState = HealthState::OK;
    uint32_t u32Failed = 0;               // failed starts in a row
    std::optional<int64_t> optLastFailed; // the last one's start, seconds since the epoch
    std::optional<int64_t> optHeldSince;  // the start that made it held
};

// The state directory, "Health" in the settings directory, as the launcher
// uses it: private as the log's, and writable (a state that cannot record a
// try cannot lift a hold either). Closed when it is refused, read-only or,
// without bCreate, absent.
CLXFileDescriptor OpenHealthDirectory(const PrivateDirectory& settings, bool bCreate);
CLXFileDescriptor OpenHealthDirectory(const std::string& strHome, bool bCreate);

// The build's health as the next launch would judge it; reads only. An
// unreadable directory or a machine without /proc reads as ok.
BuildHealth ReadBuildHealth(int nDirFd, const std::string& strVersion, const BuildIdentity& identity);

// Starts funcRun(pArg) on a detached thread with a small stack and every
// signal blocked, so none of the client's is ever delivered to it.
bool StartQuietThread(void* (*funcRun)(void*), void* pArg);

// "2026-12-09 08:01:02" in local time.
std::string FormatLocalTime(int64_t n64Time);

// The launcher's side, for its own build: judges old tries, records this
// one and clears it once the client proved itself. Inactive (nothing held,
// nothing recorded) when off, when the state is refused or unreadable, or
// when the library cannot be identified: the launch goes on as without it.
class CLXBuildHealth {
public:
    CLXBuildHealth() = default;
    static CLXBuildHealth Begin(const HealthSetting& setting, const PrivateDirectory& settings,
                                const std::string& strVersion, const std::filesystem::path& pathLibrary);

    const BuildHealth& Health() const { return m_health; }
    bool IsHeld() const { return m_health.enState == HealthState::HELD; }
    // Just before loading the library.
    void RecordTry();
    // The library did not load: no start to judge.
    void ForgetTry();
    // Just before the client runs: exit() or the end of the window marks
    // the try healthy from then on.
    void Watch(std::chrono::milliseconds msWindow);
    // The client's entry returned.
    void MarkHealthy();

private:
    CLXFileDescriptor m_fdDir;
    TryRecord m_try;
    std::string m_strTryName;
    BuildHealth m_health;
    bool m_bRecorded = false;
};

} // namespace lx
