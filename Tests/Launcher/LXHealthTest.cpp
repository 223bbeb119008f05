#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "LXHealth.h"
#include "LauncherFixture.h"

namespace fs = std::filesystem;
using namespace lxtest;

namespace {

constexpr char kszBoot[] = "0123456789abcdef0123456789abcdef";
constexpr int64_t kN64Now = 1'800'000'000;
constexpr int64_t kN64Day = 24 * 3600;

lx::TryRecord MakeTry(bool bFailed, std::string strVersion, int64_t n64Time, pid_t nPid = 4242)
{
    return {bFailed, std::move(strVersion), nPid, 777, kszBoot, n64Time, {1, 2, 3, 4}};
}

TEST(LXHealthTest, SettingTakesResetOffAndAWindowAndReportsAnythingElse)
{
    using lx::HealthMode;
    const struct {
        const char* szMode;
        const char* szWindow;
        HealthMode enMode;
        int64_t n64WindowMs;
        bool bIgnored;
    } arrCases[] = {
        {nullptr, nullptr, HealthMode::RECORD, 60000, false}, {"", "", HealthMode::RECORD, 60000, false},
        {"reset", "250", HealthMode::RESET, 250, false},      {"off", "60000", HealthMode::OFF, 60000, false},
        {"OFF", "0", HealthMode::RECORD, 60000, true},        {"reset ", "60001", HealthMode::RECORD, 60000, true},
        {"on", "-5", HealthMode::RECORD, 60000, true},        {nullptr, "1", HealthMode::RECORD, 1, false},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(std::string(testCase.szMode ? testCase.szMode : "(unset)") + "/" +
                     (testCase.szWindow ? testCase.szWindow : "(unset)"));
        const lx::HealthSetting setting = lx::HealthSetting::Read(testCase.szMode, testCase.szWindow);
        EXPECT_EQ(setting.enMode, testCase.enMode);
        EXPECT_EQ(setting.msWindow.count(), testCase.n64WindowMs);
        EXPECT_EQ(setting.optIgnored.has_value(), testCase.bIgnored);
    }
}

TEST(LXHealthTest, TryNamesReadBackAndNothingElseReadsAsATry)
{
    for (const char* szVersion : {"16.23.16808", "odd_name %/\n\xff"}) {
        for (const bool bFailed : {false, true}) {
            const lx::TryRecord record = MakeTry(bFailed, szVersion, kN64Now);
            const std::string strName = lx::FormatTryName(record);
            EXPECT_EQ(strName.find('/'), std::string::npos) << strName;
            const std::optional<lx::TryRecord> optBack = lx::ParseTryName(strName);
            ASSERT_TRUE(optBack) << strName;
            EXPECT_EQ(optBack->strVersion, szVersion);
            EXPECT_EQ(optBack->bFailed, bFailed);
            EXPECT_EQ(optBack->identity, record.identity);
            EXPECT_EQ(lx::FormatTryName(*optBack), strName);
        }
    }
    const std::string strGood = lx::FormatTryName(MakeTry(false, "1.2.3", kN64Now));
    EXPECT_EQ(strGood, "try_1.2.3_4242_777_" + std::string(kszBoot) + "_1800000000_1_2_3_4");
    for (const std::string& strBad :
         {std::string("try"), strGood.substr(0, strGood.size() - 2), "ok" + strGood.substr(3), strGood + "_5",
          "try_1.2.3_42x2_777_" + std::string(kszBoot) + "_1800000000_1_2_3_4",
          "try_1.2.3_4242_777_" + std::string(kszBoot, 31) + "_1800000000_1_2_3_4",
          "try_1%2_4242_777_" + std::string(kszBoot) + "_1800000000_1_2_3_4",
          "try__4242_777_" + std::string(kszBoot) + "_1800000000_1_2_3_4"}) {
        EXPECT_FALSE(lx::ParseTryName(strBad)) << strBad;
    }
    EXPECT_EQ(lx::FormatTryName(MakeTry(false, std::string(100, '/'), kN64Now)), "") << "longer than a file name";
}

// A try's fate, judged on this machine with one live process, 4242 started
// at tick 777; the tries were recorded at tick 777 unless said.
TEST(LXHealthTest, UnfinishedTriesAreRunningDroppedOrFailed)
{
    using lx::TryVerdict;
    lx::HealthClock clock{kszBoot, kN64Now,
                          [](pid_t nPid) { return nPid == 4242 ? std::optional<uint64_t>(777) : std::nullopt; }};
    const auto withBoot = [](lx::TryRecord record, const char* szBoot) {
        record.strBootId = szBoot;
        return record;
    };
    const struct {
        const char* szName;
        lx::TryRecord record;
        TryVerdict enVerdict;
    } arrCases[] = {
        {"alive", MakeTry(false, "1.0.0", kN64Now - 5), TryVerdict::RUNNING},
        {"alive, started a while before the try",
         [] {
             auto r = MakeTry(false, "1.0.0", kN64Now);
             r.u64BootTicks = 900;
             return r;
         }(),
         TryVerdict::RUNNING},
        {"same pid, started after the try",
         [] {
             auto r = MakeTry(false, "1.0.0", kN64Now);
             r.u64BootTicks = 9;
             return r;
         }(),
         TryVerdict::FAILED},
        {"gone", MakeTry(false, "1.0.0", kN64Now - 5, 99), TryVerdict::FAILED},
        {"another boot", withBoot(MakeTry(false, "1.0.0", kN64Now, 99), "ffffffffffffffffffffffffffffffff"),
         TryVerdict::DROPPED},
        {"older than a day", MakeTry(false, "1.0.0", kN64Now - kN64Day - 1, 99), TryVerdict::DROPPED},
        {"a day old", MakeTry(false, "1.0.0", kN64Now - kN64Day, 99), TryVerdict::FAILED},
        {"failed, its pid reused", MakeTry(true, "1.0.0", kN64Now - 5), TryVerdict::FAILED},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
        EXPECT_EQ(lx::JudgeTry(testCase.record, clock), testCase.enVerdict);
    }
}

// What the doctor reads: entries planted in a state directory, words
// "try:<age s>" (a gone process), "fail:<age s>", "both:<age s>" (a try and
// its failure, listed while being renamed), "other:" (another build's
// failure), "run:" (this test process, alive), "junk".
TEST(LXHealthTest, ReadBuildHealthCountsFailuresInARowOfThisBuildOnly)
{
    const std::optional<lx::HealthClock> optClock = lx::HealthClock::OfThisMachine();
    if (!optClock) {
        GTEST_SKIP() << "no /proc";
    }
    const uint64_t u64OwnTicks = *optClock->funcStartTicks(::getpid());
    const struct {
        const char* szName;
        std::vector<std::string> vtPlan;
        lx::HealthState enState;
        uint32_t u32Failed;
        int64_t n64LastAgo;
        int64_t n64HeldAgo;
    } arrCases[] = {
        {"nothing", {}, lx::HealthState::OK, 0, -1, -1},
        {"a running start and junk", {"run:0", "junk"}, lx::HealthState::OK, 0, -1, -1},
        {"two failed", {"fail:30", "try:20", "run:0", "other:5"}, lx::HealthState::FAILING, 2, 20, -1},
        {"three, one still to judge", {"fail:30", "fail:20", "try:10"}, lx::HealthState::HELD, 3, 10, 10},
        {"four", {"fail:40", "fail:30", "fail:20", "fail:10"}, lx::HealthState::HELD, 4, 10, 20},
        {"another build's three", {"other:3", "other:2", "other:1"}, lx::HealthState::OK, 0, -1, -1},
        {"a stale try dropped", {"fail:30", "fail:20", "try:100000"}, lx::HealthState::FAILING, 2, 20, -1},
        {"a start listed twice counts once", {"fail:30", "both:20"}, lx::HealthState::FAILING, 2, 20, -1},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
        TempDir dir;
        const int64_t n64Now = optClock->n64Now;
        pid_t nGone = 1 << 22; // above any pid_max
        for (const std::string& strWord : testCase.vtPlan) {
            const std::string strKind = strWord.substr(0, strWord.find(':'));
            const int64_t n64Ago =
                strWord.find(':') == std::string::npos ? 0 : std::stoll(strWord.substr(strKind.size() + 1));
            lx::TryRecord record{strKind == "fail" || strKind == "other",
                                 "16.24.0",
                                 ++nGone,
                                 1,
                                 optClock->strBootId,
                                 n64Now - n64Ago,
                                 {1, 2, 3, 4}};
            if (strKind == "other") {
                record.identity.u64Size = 99;
            } else if (strKind == "run") {
                record.nPid = ::getpid();
                record.u64BootTicks = u64OwnTicks;
            }
            WriteFile(dir / (strKind == "junk" ? "fail_16.24.0_junk" : lx::FormatTryName(record)), "");
            if (strKind == "both") {
                record.bFailed = true;
                WriteFile(dir / lx::FormatTryName(record), "");
            }
        }
        const auto before = Snapshot({dir.Path()});
        const lx::CLXFileDescriptor fdDir(::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const lx::BuildHealth health = lx::ReadBuildHealth(fdDir.Get(), "16.24.0", {1, 2, 3, 4});
        EXPECT_EQ(Snapshot({dir.Path()}), before) << "read-only";
        EXPECT_EQ(health.enState, testCase.enState);
        EXPECT_EQ(health.u32Failed, testCase.u32Failed);
        EXPECT_EQ(health.optLastFailed.value_or(n64Now + 1), n64Now - testCase.n64LastAgo);
        EXPECT_EQ(health.optHeldSince.value_or(n64Now + 1), n64Now - testCase.n64HeldAgo);
        EXPECT_EQ(lx::ReadBuildHealth(fdDir.Get(), "16.23.0", {1, 2, 3, 4}).u32Failed, 0u) << "another version";
    }
    EXPECT_EQ(lx::ReadBuildHealth(-1, "16.24.0", {}).enState, lx::HealthState::OK);
}

} // namespace
