#include "LXHealth.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <set>
#include <tuple>
#include <utility>

#include "LXLauncherLog.h"
#include "LXLogFile.h"
#include "LXText.h"

namespace fs = std::filesystem;

namespace {

constexpr char kszHealthDirectoryName[] = "Health";
constexpr char kszTryKind[] = "try";
constexpr char kszFailKind[] = "fail";
constexpr char kChSeparator = '_';
constexpr size_t kUTryNameFields = 10;
constexpr size_t kUBootIdDigits = 32;
constexpr size_t kUMaxFileName = 255;
// Ample for the watcher's few file calls, sanitizers included; only the
// pages it touches are ever made.
constexpr size_t kUWatcherStack = 256 * 1024;

bool IsPlainVersionByte(char ch)
{
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '.' || ch == '-';
}

// A small file of /proc in one read; empty when it cannot be had.
std::string ReadProcFile(const char* szPath)
{
    const lx::CLXFileDescriptor fd(::open(szPath, O_RDONLY | O_CLOEXEC));
    std::array<char, 1024> arrBuffer{};
    ssize_t nRead = -1;
    if (fd.IsOpen()) {
        while ((nRead = ::read(fd.Get(), arrBuffer.data(), arrBuffer.size())) < 0 && errno == EINTR) {
        }
    }
    return nRead > 0 ? std::string(arrBuffer.data(), static_cast<size_t>(nRead)) : std::string();
}

// Field 22 of /proc/<pid>/stat, counted after the name in parentheses,
// which may hold spaces and parentheses itself.
std::optional<uint64_t> ProcessStartTicks(pid_t nPid)
{
    const std::string strPath = "/proc/" + std::to_string(nPid) + "/stat";
    const std::string strStat = ReadProcFile(strPath.c_str());
    size_t uPos = strStat.rfind(')');
    if (uPos == std::string::npos) {
        return std::nullopt;
    }
    constexpr int kNFieldsToStartTime = 20; // fields 3 to 22
    std::string_view strRest = std::string_view(strStat).substr(uPos + 1);
    for (int nField = 0; nField < kNFieldsToStartTime; ++nField) {
        strRest.remove_prefix(std::min(strRest.find_first_not_of(' '), strRest.size()));
        const size_t uEnd = std::min(strRest.find_first_of(" \n"), strRest.size());
        if (nField + 1 == kNFieldsToStartTime) {
            uint64_t u64Ticks = 0;
            return lx::ReadWholeNumber(strRest.substr(0, uEnd), u64Ticks) ? std::optional<uint64_t>(u64Ticks) : std::nullopt;
        }
        strRest.remove_prefix(uEnd);
    }
    return std::nullopt;
}

int64_t SecondsSinceEpoch()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Calls func(szName, record) for every parsable entry of the version, read
// straight from the directory's descriptor from its start.
template <typename Func>
void ForEachTryOf(int nDirFd, const std::string& strVersion, const Func& func)
{
    alignas(dirent64) char arrBuffer[4096];
    if (::lseek(nDirFd, 0, SEEK_SET) != 0) {
        return;
    }
    for (ssize_t nRead = 0; (nRead = ::getdents64(nDirFd, arrBuffer, sizeof arrBuffer)) > 0;) {
        for (ssize_t nPos = 0; nPos < nRead;) {
            const auto* pEntry = reinterpret_cast<const dirent64*>(arrBuffer + nPos);
            nPos += pEntry->d_reclen;
            const std::optional<lx::TryRecord> optRecord = lx::ParseTryName(pEntry->d_name);
            if (optRecord && (strVersion.empty() || optRecord->strVersion == strVersion)) {
                func(pEntry->d_name, *optRecord);
            }
        }
    }
}

lx::BuildHealth Summarise(std::vector<int64_t> vtFailedAt)
{
    lx::BuildHealth health;
    std::sort(vtFailedAt.begin(), vtFailedAt.end());
    health.u32Failed = static_cast<uint32_t>(vtFailedAt.size());
    if (vtFailedAt.empty()) {
        return health;
    }
    health.enState = lx::HealthState::FAILING;
    health.optLastFailed = vtFailedAt.back();
    if (health.u32Failed >= lx::kU32FailedStartsToHold) {
        health.enState = lx::HealthState::HELD;
        health.optHeldSince = vtFailedAt[lx::kU32FailedStartsToHold - 1];
    }
    return health;
}

// Each failed start once, whether listed as its try, as its failure or as
// both (a listing made while another launcher renamed it).
class CLXFailedStarts {
public:
    void Add(const lx::TryRecord& record)
    {
        if (m_setSeen.emplace(record.nPid, record.u64BootTicks, record.strBootId).second) {
            m_vtFailedAt.push_back(record.n64Time);
        }
    }
    lx::BuildHealth Summary() { return Summarise(std::move(m_vtFailedAt)); }

private:
    std::set<std::tuple<pid_t, uint64_t, std::string>> m_setSeen;
    std::vector<int64_t> m_vtFailedAt;
};

// Removes the try, and with bClearFailures the version's failures: they
// were in a row, and this start ended it. File calls only.
void ClearTry(int nDirFd, const std::string& strTryName, const std::string& strVersion, bool bClearFailures)
{
    if (bClearFailures) {
        ForEachTryOf(nDirFd, strVersion, [&](const char* szName, const lx::TryRecord& record) {
            if (record.bFailed) {
                ::unlinkat(nDirFd, szName, 0);
            }
        });
    }
    ::unlinkat(nDirFd, strTryName.c_str(), 0);
}

// Clears one recorded try, once, whoever comes first: the client's return,
// its exit() or the end of the window. Never freed: the watcher and the exit
// handler may use it until the process ends.
struct HealthyMark {
    std::atomic<bool> bTaken{false};
    int nDirFd = -1; // never closed, for the same reason
    std::string strTryName;
    lx::TryRecord tryRecord;
    bool bClearFailures = false;
    std::chrono::milliseconds msWindow{0};

    void Mark()
    {
        // A child the client forked inherits the exit handler, not the try.
        if (::getpid() == tryRecord.nPid && !bTaken.exchange(true)) {
            ClearTry(nDirFd, strTryName, tryRecord.strVersion, bClearFailures);
        }
    }
};

std::atomic<HealthyMark*> s_pMark{nullptr};

void MarkAtExit()
{
    if (HealthyMark* pMark = s_pMark.load()) {
        pMark->Mark();
    }
}

void* WatchWindow(void* pArg)
{
    auto* pMark = static_cast<HealthyMark*>(pArg);
    timespec stDeadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &stDeadline);
    const auto msWindow = pMark->msWindow.count();
    stDeadline.tv_sec += static_cast<time_t>(msWindow / 1000);
    stDeadline.tv_nsec += static_cast<long>(msWindow % 1000) * 1000000L;
    if (stDeadline.tv_nsec >= 1000000000L) {
        ++stDeadline.tv_sec;
        stDeadline.tv_nsec -= 1000000000L;
    }
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &stDeadline, nullptr) == EINTR) {
    }
    pMark->Mark();
    return nullptr;
}

} // namespace

namespace lx {

HealthSetting HealthSetting::Read(const char* szMode, const char* szWindow)
{
    HealthSetting setting;
    const std::string_view strMode = szMode != nullptr ? szMode : "";
    if (strMode == "reset") {
        setting.enMode = HealthMode::RESET;
    } else if (strMode == "off") {
        setting.enMode = HealthMode::OFF;
    } else if (!strMode.empty()) {
        setting.optIgnored = std::string(strMode);
    }
    uint32_t u32Window = 0;
    if (szWindow != nullptr && lx::ReadWholeNumber(std::string_view(szWindow), u32Window) && u32Window >= 1 &&
        u32Window <= kDurationHealthWindow.count()) {
        setting.msWindow = std::chrono::milliseconds(u32Window);
    }
    return setting;
}

std::optional<BuildIdentity> IdentifyBuild(const fs::path& pathLibrary)
{
    struct stat st {};
    if (::stat(pathLibrary.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return BuildIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                         static_cast<uint64_t>(st.st_size),
                         static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

std::string FormatTryName(const TryRecord& record)
{
    constexpr char kszHex[] = "0123456789ABCDEF";
    std::string strName = record.bFailed ? kszFailKind : kszTryKind;
    strName += kChSeparator;
    for (const char ch : record.strVersion) {
        if (IsPlainVersionByte(ch)) {
            strName += ch;
        } else {
            const auto uByte = static_cast<unsigned char>(ch);
            strName += '%';
            strName += kszHex[uByte >> 4];
            strName += kszHex[uByte & 0xF];
        }
    }
    for (const std::string& strField :
         {std::to_string(record.nPid), std::to_string(record.u64BootTicks), record.strBootId,
          std::to_string(record.n64Time), std::to_string(record.identity.u64Device),
          std::to_string(record.identity.u64Inode), std::to_string(record.identity.u64Size),
          std::to_string(record.identity.n64MtimeNs)}) {
        strName += kChSeparator;
        strName += strField;
    }
    return strName.size() <= kUMaxFileName ? strName : std::string();
}

std::optional<TryRecord> ParseTryName(std::string_view strName)
{
    std::vector<std::string_view> vtFields;
    for (size_t uStart = 0; uStart <= strName.size();) {
        const size_t uEnd = std::min(strName.find(kChSeparator, uStart), strName.size());
        vtFields.push_back(strName.substr(uStart, uEnd - uStart));
        uStart = uEnd + 1;
    }
    if (vtFields.size() != kUTryNameFields || (vtFields[0] != kszTryKind && vtFields[0] != kszFailKind)) {
        return std::nullopt;
    }
    TryRecord record;
    record.bFailed = vtFields[0] == kszFailKind;
    const std::string_view strVersion = vtFields[1];
    for (size_t uPos = 0; uPos < strVersion.size(); ++uPos) {
        if (strVersion[uPos] != '%') {
            if (!IsPlainVersionByte(strVersion[uPos])) {
                return std::nullopt;
            }
            record.strVersion += strVersion[uPos];
            continue;
        }
        unsigned uByte = 0;
        if (uPos + 2 >= strVersion.size() ||
            std::from_chars(strVersion.data() + uPos + 1, strVersion.data() + uPos + 3, uByte, 16).ptr !=
                strVersion.data() + uPos + 3) {
            return std::nullopt;
        }
        record.strVersion += static_cast<char>(uByte);
        uPos += 2;
    }
    record.strBootId = vtFields[4];
    const bool bHex = std::all_of(record.strBootId.begin(), record.strBootId.end(),
                                  [](char ch) { return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f'); });
    if (record.strVersion.empty() || record.strBootId.size() != kUBootIdDigits || !bHex ||
        !lx::ReadWholeNumber(vtFields[2], record.nPid) || !lx::ReadWholeNumber(vtFields[3], record.u64BootTicks) ||
        !lx::ReadWholeNumber(vtFields[5], record.n64Time) || !lx::ReadWholeNumber(vtFields[6], record.identity.u64Device) ||
        !lx::ReadWholeNumber(vtFields[7], record.identity.u64Inode) || !lx::ReadWholeNumber(vtFields[8], record.identity.u64Size) ||
        !lx::ReadWholeNumber(vtFields[9], record.identity.n64MtimeNs)) {
        return std::nullopt;
    }
    return record;
}

std::optional<HealthClock> HealthClock::OfThisMachine()
{
    HealthClock clock;
    for (const char ch : ReadProcFile("/proc/sys/kernel/random/boot_id")) {
        if (ch != '-' && ch != '\n') {
            clock.strBootId += ch;
        }
    }
    if (clock.strBootId.size() != kUBootIdDigits) {
        return std::nullopt;
    }
    clock.n64Now = SecondsSinceEpoch();
    clock.funcStartTicks = ProcessStartTicks;
    return clock;
}

TryVerdict JudgeTry(const TryRecord& record, const HealthClock& clock)
{
    if (record.strBootId != clock.strBootId ||
        clock.n64Now - record.n64Time > static_cast<int64_t>(kDurationTryForgotten.count())) {
        return TryVerdict::DROPPED;
    }
    const std::optional<uint64_t> optStarted = clock.funcStartTicks ? clock.funcStartTicks(record.nPid) : std::nullopt;
    if (!record.bFailed && optStarted && *optStarted <= record.u64BootTicks) {
        return TryVerdict::RUNNING;
    }
    return TryVerdict::FAILED;
}

CLXFileDescriptor OpenHealthDirectory(const PrivateDirectory& settings, bool bCreate)
{
    LogPathStatus status;
    const PrivateDirectory dir =
        settings.fd.IsOpen() ? OpenPrivateDirectory(settings, kszHealthDirectoryName, bCreate, status) : PrivateDirectory();
    if (!dir.fd.IsOpen() || ::faccessat(dir.fd.Get(), ".", W_OK | X_OK, AT_EACCESS) != 0) {
        return {};
    }
    // Listed through, so open for reading.
    return CLXFileDescriptor(::openat(dir.fd.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

CLXFileDescriptor OpenHealthDirectory(const std::string& strHome, bool bCreate)
{
    LogPathStatus status;
    return OpenHealthDirectory(OpenSettingsDirectory(strHome, bCreate, status), bCreate);
}

BuildHealth ReadBuildHealth(int nDirFd, const std::string& strVersion, const BuildIdentity& identity)
{
    const std::optional<HealthClock> optClock = HealthClock::OfThisMachine();
    if (!optClock || nDirFd < 0 || strVersion.empty()) {
        return {};
    }
    CLXFailedStarts failed;
    ForEachTryOf(nDirFd, strVersion, [&](const char*, const TryRecord& record) {
        if (record.identity == identity && (record.bFailed || JudgeTry(record, *optClock) == TryVerdict::FAILED)) {
            failed.Add(record);
        }
    });
    return failed.Summary();
}

std::string FormatLocalTime(int64_t n64Time)
{
    const auto time = static_cast<std::time_t>(n64Time);
    std::tm stLocal{};
    char arrText[32] = {};
    if (::localtime_r(&time, &stLocal) == nullptr ||
        std::strftime(arrText, sizeof arrText, "%Y-%m-%d %H:%M:%S", &stLocal) == 0) {
        return std::to_string(n64Time);
    }
    return arrText;
}

bool StartQuietThread(void* (*funcRun)(void*), void* pArg)
{
    sigset_t setAll;
    sigset_t setBefore;
    ::sigfillset(&setAll);
    ::pthread_sigmask(SIG_SETMASK, &setAll, &setBefore);
    bool bStarted = false;
    pthread_attr_t attr;
    if (::pthread_attr_init(&attr) == 0) {
        ::pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        ::pthread_attr_setstacksize(&attr, kUWatcherStack);
        pthread_t thread;
        bStarted = ::pthread_create(&thread, &attr, funcRun, pArg) == 0;
        ::pthread_attr_destroy(&attr);
    }
    ::pthread_sigmask(SIG_SETMASK, &setBefore, nullptr);
    return bStarted;
}

CLXBuildHealth CLXBuildHealth::Begin(const HealthSetting& setting, const PrivateDirectory& settings,
                                     const std::string& strVersion, const fs::path& pathLibrary)
{
    CLXBuildHealth health;
    if (setting.enMode == HealthMode::OFF || strVersion.empty()) {
        return health;
    }
    const std::optional<BuildIdentity> optIdentity = IdentifyBuild(pathLibrary);
    std::optional<HealthClock> optClock = optIdentity ? HealthClock::OfThisMachine() : std::nullopt;
    timespec stBoot{};
    const long nTicksPerSecond = ::sysconf(_SC_CLK_TCK);
    if (!optClock || ::clock_gettime(CLOCK_BOOTTIME, &stBoot) != 0 || nTicksPerSecond <= 0) {
        return health;
    }
    const auto u64BootTicks =
        static_cast<uint64_t>(stBoot.tv_sec) * static_cast<uint64_t>(nTicksPerSecond) +
        static_cast<uint64_t>(stBoot.tv_nsec) / (1000000000 / static_cast<uint64_t>(nTicksPerSecond));
    CLXFileDescriptor fdDir = OpenHealthDirectory(settings, true);
    if (!fdDir.IsOpen()) {
        return health;
    }
    health.m_try = {false, strVersion, ::getpid(), u64BootTicks, optClock->strBootId, optClock->n64Now, *optIdentity};
    health.m_strTryName = FormatTryName(health.m_try);
    if (health.m_strTryName.empty()) {
        return health;
    }
    const int nDirFd = fdDir.Get();
    if (setting.enMode == HealthMode::RESET) {
        ForEachTryOf(nDirFd, {}, [&](const char* szName, const TryRecord&) { ::unlinkat(nDirFd, szName, 0); });
    }
    // Judged here for good: a failed try becomes a failure under its own
    // name, so launchers judging together count it once.
    // Listed first: a name renamed while listing may be listed again.
    std::vector<std::pair<std::string, TryRecord>> vtEntries;
    ForEachTryOf(nDirFd, strVersion,
                 [&](const char* szName, const TryRecord& record) { vtEntries.emplace_back(szName, record); });
    CLXFailedStarts failed;
    for (const auto& [strName, record] : vtEntries) {
        if (record.identity != *optIdentity) {
            ::unlinkat(nDirFd, strName.c_str(), 0); // another build's: a new build starts afresh
            continue;
        }
        const TryVerdict enVerdict = record.bFailed ? TryVerdict::FAILED : JudgeTry(record, *optClock);
        if (enVerdict == TryVerdict::DROPPED) {
            ::unlinkat(nDirFd, strName.c_str(), 0);
            continue;
        }
        if (enVerdict == TryVerdict::RUNNING) {
            continue;
        }
        if (!record.bFailed) {
            TryRecord recordFailed = record;
            recordFailed.bFailed = true;
            // ENOENT: another launcher judged it first.
            ::renameat(nDirFd, strName.c_str(), nDirFd, FormatTryName(recordFailed).c_str());
        }
        failed.Add(record);
    }
    health.m_health = failed.Summary();
    health.m_fdDir = std::move(fdDir);
    return health;
}

void CLXBuildHealth::RecordTry()
{
    if (m_fdDir.IsOpen() && !m_bRecorded) {
        m_bRecorded = ::mknodat(m_fdDir.Get(), m_strTryName.c_str(), S_IFREG | S_IRUSR | S_IWUSR, 0) == 0;
    }
}

void CLXBuildHealth::ForgetTry()
{
    if (m_bRecorded) {
        ::unlinkat(m_fdDir.Get(), m_strTryName.c_str(), 0);
        m_bRecorded = false;
    }
}

void CLXBuildHealth::Watch(std::chrono::milliseconds msWindow)
{
    if (!m_bRecorded || s_pMark.load() != nullptr) {
        return;
    }
    auto* pMark = new HealthyMark;
    pMark->nDirFd = m_fdDir.Release();
    pMark->strTryName = m_strTryName;
    pMark->tryRecord = m_try;
    pMark->bClearFailures = m_health.u32Failed > 0;
    pMark->msWindow = msWindow;
    s_pMark.store(pMark);
    std::atexit(MarkAtExit);

    (void)StartQuietThread(WatchWindow, pMark);
}

void CLXBuildHealth::MarkHealthy()
{
    if (HealthyMark* pMark = s_pMark.load()) {
        pMark->Mark();
    } else if (m_bRecorded) {
        ClearTry(m_fdDir.Get(), m_strTryName, m_try.strVersion, m_health.u32Failed > 0);
    }
    m_bRecorded = false;
}

} // namespace lx
