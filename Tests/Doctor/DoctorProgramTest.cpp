// The built doctor against installations made of the real launcher and real
// libraries, compared with what the built launcher really does there.

#include <elf.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "LXHealth.h"
#include "LauncherFixture.h"

namespace fs = std::filesystem;
using namespace lxtest;

namespace {

const fs::path kPathDoctorExe = LX_TEST_DOCTOR_EXE;
const fs::path kPathVariantLauncher = LX_TEST_VARIANT_LAUNCHER;
const fs::path kPathHangLibrary = LX_TEST_HANG_LIBRARY;
const fs::path kPathHostileLibrary = LX_TEST_HOSTILE_LIBRARY;
constexpr const char* kszCeilingEnv = "LX_LAUNCHER_FALLBACK_BELOW";
constexpr int kNClientResult = 3;

using EnvMap = std::map<std::string, std::optional<std::string>>;

Json::Value ParseJson(const std::string& strText)
{
    Json::Value value;
    std::string strErrors;
    const std::unique_ptr<Json::CharReader> upReader(Json::CharReaderBuilder().newCharReader());
    EXPECT_TRUE(upReader->parse(strText.data(), strText.data() + strText.size(), &value, &strErrors))
        << strErrors << "\n"
        << strText;
    return value;
}

const Json::Value& VersionNamed(const Json::Value& report, const std::string& strName)
{
    for (const Json::Value& version : report["versions"]) {
        if (version["name"].asString() == strName) {
            return version;
        }
    }
    ADD_FAILURE() << "no version " << strName << " in the report";
    static const Json::Value kNull;
    return kNull;
}

// The finding of the given kind in a check's list; null when there is none.
const Json::Value& FindingOf(const Json::Value& report, const std::string& strCheck, const std::string& strKind)
{
    for (const Json::Value& finding : report["checks"][strCheck]["findings"]) {
        if (finding["kind"].asString() == strKind) {
            return finding;
        }
    }
    static const Json::Value kNull;
    return kNull;
}

// Orphaned fallback launchers come back to this process, so a test can wait
// until a whole detached chain has finished.
void ReapDescendants(std::chrono::milliseconds bound)
{
    const auto timeDeadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < timeDeadline) {
        const pid_t nPid = ::waitpid(-1, nullptr, WNOHANG);
        if (nPid == -1 && errno == ECHILD) {
            return;
        }
        if (nPid <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ADD_FAILURE() << "the fallback chain did not end in time";
}

// Names, kinds, sizes, modification times and contents of everything under
// the directory.
std::map<std::string, std::string> Snapshot(const fs::path& pathDir)
{
    std::map<std::string, std::string> mapEntries;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(pathDir)) {
        struct stat stStat {};
        ::lstat(entry.path().c_str(), &stStat);
        std::string strState = std::to_string(stStat.st_mode) + " " + std::to_string(stStat.st_size) + " " +
                               std::to_string(stStat.st_mtim.tv_sec) + "." + std::to_string(stStat.st_mtim.tv_nsec);
        if (S_ISREG(stStat.st_mode)) {
            strState += " " + ReadFile(entry.path());
        }
        mapEntries[entry.path().lexically_relative(pathDir).string()] = strState;
    }
    return mapEntries;
}

// A version directory with the real launcher and the given library.
void AddLibrary(Installation& install, const std::string& strVersion, const fs::path& pathLibrary)
{
    const fs::path pathDir = install.AddVersion(strVersion, MainApp::None);
    fs::copy_file(pathLibrary, pathDir / kszMainAppLibrary);
}

class DoctorProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::prctl(PR_SET_CHILD_SUBREAPER, 1);
        fs::create_directories(m_install.Scratch("bin"));
        fs::create_directories(m_install.Home());
    }

    EnvMap BaseEnv() const
    {
        return {{"HOME", m_install.Home().string()},
                {"PATH", m_install.Scratch("bin").string()},
                {"LX_APP_RECORD_FILE", m_install.Scratch("app.record").string()},
                {"LX_APP_RESULT", std::to_string(kNClientResult)},
                {"QT_QPA_PLATFORM", "offscreen"},
                {"NO_COLOR", std::nullopt},
                {kszCeilingEnv, std::nullopt}};
    }

    ProcessResult Run(const fs::path& pathProgram, std::vector<std::string> vtArgs, const EnvMap& mapExtra = {})
    {
        ProcessOptions options;
        options.mapEnv = BaseEnv();
        for (const auto& [strName, optValue] : mapExtra) {
            options.mapEnv[strName] = optValue;
        }
        options.pathWorkingDirectory = m_install.Scratch("");
        vtArgs.insert(vtArgs.begin(), pathProgram.string());
        return RunProcess(vtArgs, options);
    }

    Json::Value RunDoctorJson(const EnvMap& mapExtra = {}, int* pnExitStatus = nullptr)
    {
        const ProcessResult result = Run(kPathDoctorExe, {"--root", m_install.AppRoot().string(), "--json"}, mapExtra);
        EXPECT_TRUE(result.bExited) << "signal " << result.nSignal;
        EXPECT_EQ(result.strStderr, "");
        if (pnExitStatus != nullptr) {
            *pnExitStatus = result.nExitStatus;
        }
        return ParseJson(result.strStdout);
    }

    Installation m_install;
};

struct AgreementCase {
    const char* szName;
    std::function<void(Installation&)> build;
    std::string strStartVersion;
    const char* szOutcome; // what the doctor must say, so no case agrees by both doing nothing
};

TEST_F(DoctorProgramTest, PredictsWhatTheLauncherDoes)
{
    const std::string strOwn = kszOwnVersionDir;
    const std::vector<AgreementCase> vtCases{
        {"all good",
         [](Installation& install) {
             install.AddVersion(kszOwnVersionDir, MainApp::StandIn);
             install.AddVersion("16.22.100", MainApp::StandIn);
         },
         strOwn, "runs-client"},
        {"newest lacks the library",
         [](Installation& install) {
             install.AddVersion(kszOwnVersionDir, MainApp::None);
             install.AddVersion("16.22.100", MainApp::StandIn);
         },
         strOwn, "falls-back"},
        {"newest's library lacks the entry",
         [](Installation& install) {
             install.AddVersion(kszOwnVersionDir, MainApp::NoEntry);
             install.AddVersion("16.22.100", MainApp::StandIn);
         },
         strOwn, "falls-back"},
        {"newest's library needs a missing dependency",
         [](Installation& install) {
             install.AddVersion(kszOwnVersionDir, MainApp::NeedsGone);
             install.AddVersion("16.22.100", MainApp::StandIn);
         },
         strOwn, "falls-back"},
        {"broken sibling launcher above a working one",
         [](Installation& install) {
             install.AddVersion(kszOwnVersionDir, MainApp::None);
             const fs::path pathBroken = install.AddVersion("16.22.100", MainApp::StandIn);
             fs::permissions(pathBroken / "launcher", fs::perms::owner_read | fs::perms::owner_write);
             install.AddVersion("16.21.0", MainApp::StandIn);
         },
         strOwn, "falls-back"},
        {"launcher built above its directory name",
         [](Installation& install) {
             const fs::path pathDir = install.AddVersion("16.22.100", MainApp::None, false);
             fs::copy_file(kPathVariantLauncher, pathDir / "launcher");
             install.AddVersion("16.23.5", MainApp::StandIn);
             install.AddVersion("16.21.0", MainApp::StandIn);
         },
         "16.22.100", "falls-back"},
        {"nothing installable below",
         [](Installation& install) {
             install.AddVersion(kszOwnVersionDir, MainApp::None);
             install.AddVersion("16.22.100", MainApp::None);
         },
         strOwn, "no-client"},
        {"nothing installable at all",
         [](Installation& install) { install.AddVersion(kszOwnVersionDir, MainApp::None); }, strOwn, "no-client"},
        // Chains: the first launcher ends as the deepest one does.
        {"two launchers, the lower one's library unusable",
         [](Installation& install) {
             install.AddVersion(kszOwnVersionDir, MainApp::None);
             install.AddVersion("16.22.100", MainApp::NoEntry);
         },
         strOwn, "no-client"},
        {"three launchers, no library anywhere",
         [](Installation& install) {
             install.AddVersion(kszOwnVersionDir, MainApp::None);
             install.AddVersion("16.22.100", MainApp::None);
             install.AddVersion("16.21.0", MainApp::None);
         },
         strOwn, "no-client"},
        {"three launchers, the lowest one's library unusable",
         [](Installation& install) {
             install.AddVersion(kszOwnVersionDir, MainApp::NoEntry);
             install.AddVersion("16.22.100", MainApp::None);
             install.AddVersion("16.21.0", MainApp::NeedsGone);
         },
         strOwn, "no-client"},
        {"three launchers, the lowest one runs its client",
         [](Installation& install) {
             install.AddVersion(kszOwnVersionDir, MainApp::None);
             install.AddVersion("16.22.100", MainApp::NoEntry);
             install.AddVersion("16.21.0", MainApp::StandIn);
         },
         strOwn, "falls-back"},
    };

    for (const AgreementCase& testCase : vtCases) {
        SCOPED_TRACE(testCase.szName);
        fs::remove_all(m_install.AppRoot());
        fs::create_directories(m_install.AppRoot());
        fs::remove(m_install.Scratch("app.record"));
        testCase.build(m_install);

        const Json::Value report = RunDoctorJson();
        const Json::Value& verdict = VersionNamed(report, testCase.strStartVersion)["verdict"];
        EXPECT_EQ(verdict["outcome"].asString(), testCase.szOutcome) << verdict["text"].asString();

        const ProcessResult launch = Run(m_install.AppRoot() / testCase.strStartVersion / "launcher", {});
        ReapDescendants(std::chrono::seconds(20));
        ASSERT_TRUE(launch.bExited) << "signal " << launch.nSignal;
        const std::vector<Json::Value> vtCalls = ReadJsonLines(m_install.Scratch("app.record"));

        const int nPredictedStatus = verdict["exit_status"].isNull() ? kNClientResult : verdict["exit_status"].asInt();
        EXPECT_EQ(launch.nExitStatus, nPredictedStatus) << verdict["text"].asString();
        if (testCase.strStartVersion == strOwn) {
            // The doctor's own status for the newest: 2 exactly when the user sees no client.
            EXPECT_EQ(report["exit_status"].asInt() == 2, launch.nExitStatus == 126 || launch.nExitStatus == 127);
        }
        if (verdict["client_version"].isNull()) {
            EXPECT_EQ(vtCalls.size(), 0u) << "the doctor predicted no client: " << verdict["text"].asString();
        } else {
            ASSERT_EQ(vtCalls.size(), 1u) << verdict["text"].asString();
            EXPECT_EQ(fs::path(vtCalls[0]["argv"][0].asString()).parent_path().filename().string(),
                      verdict["client_version"].asString());
        }
    }
}

TEST_F(DoctorProgramTest, ReportsAHangingLibraryWithinTheTimeLimit)
{
    AddLibrary(m_install, kszOwnVersionDir, kPathHangLibrary);

    const auto timeStart = std::chrono::steady_clock::now();
    int nExitStatus = -1;
    const Json::Value report = RunDoctorJson({}, &nExitStatus);
    const auto elapsed = std::chrono::steady_clock::now() - timeStart;

    const auto limit = std::chrono::milliseconds(report["probe_time_limit_ms"].asInt64());
    EXPECT_GE(limit.count(), 1000);
    EXPECT_LT(elapsed, limit + std::chrono::seconds(3));
    const Json::Value& version = VersionNamed(report, kszOwnVersionDir);
    EXPECT_EQ(version["library"]["state"].asString(), "hangs");
    EXPECT_EQ(version["verdict"]["outcome"].asString(), "hangs");
    EXPECT_EQ(nExitStatus, 2);
}

TEST_F(DoctorProgramTest, ChangesNothingInTheInstallationOrTheLog)
{
    m_install.AddVersion(kszOwnVersionDir, MainApp::None);
    m_install.AddVersion("16.22.100", MainApp::StandIn);
    ASSERT_TRUE(Run(m_install.AppRoot() / kszOwnVersionDir / "launcher", {}).bExited);
    ReapDescendants(std::chrono::seconds(20));
    ASSERT_TRUE(fs::exists(m_install.LogFile()));

    // A log directory the launcher refuses: reported, and left as it is.
    fs::permissions(m_install.LogFile().parent_path(), fs::perms::others_write, fs::perm_options::add);

    const auto mapRootBefore = Snapshot(m_install.AppRoot());
    const auto mapHomeBefore = Snapshot(m_install.Home());
    EXPECT_EQ(Run(kPathDoctorExe, {"--root", m_install.AppRoot().string()}).nExitStatus, 1);
    const Json::Value report = RunDoctorJson();
    const Json::Value& directory = FindingOf(report, "log", "directory");
    EXPECT_TRUE(directory["warning"].asBool());
    EXPECT_NE(directory["text"].asString().find("writable by others or by a group"), std::string::npos);
    EXPECT_EQ(Snapshot(m_install.AppRoot()), mapRootBefore);
    EXPECT_EQ(Snapshot(m_install.Home()), mapHomeBefore);

    // Without a log, none is made.
    fs::remove_all(m_install.Home() / ".config");
    RunDoctorJson();
    EXPECT_FALSE(fs::exists(m_install.Home() / ".config"));
}

// Two versions, the newer without its library, and "orvalo" on PATH linking
// to the newer launcher.
void BuildFallbackInstallation(Installation& install)
{
    install.AddVersion(kszOwnVersionDir, MainApp::None);
    install.AddVersion("16.22.100", MainApp::StandIn);
    fs::create_directories(install.Scratch("bin"));
    fs::create_symlink(install.AppRoot() / kszOwnVersionDir / "launcher", install.Scratch("bin") / "orvalo");
}

std::string UserName()
{
    const passwd* pEntry = ::getpwuid(::getuid());
    return pEntry != nullptr ? pEntry->pw_name : std::to_string(::getuid());
}

TEST_F(DoctorProgramTest, ReadableReportExplainsTheInstallationLineByLine)
{
    BuildFallbackInstallation(m_install);

    const ProcessResult result = Run(kPathDoctorExe, {"--root", m_install.AppRoot().string()});

    ASSERT_TRUE(result.bExited);
    EXPECT_EQ(result.nExitStatus, 1);
    EXPECT_EQ(result.strStderr, "");
    const std::string strOwn = kszOwnVersionDir;
    const std::string strRoot = m_install.AppRoot().string();
    const std::string strBuilt = std::string("ok, built ") + LX_TEST_LAUNCHER_VERSION;
    const std::string strLogDir = m_install.Home().string() + "/.config/orvalo/2.0/Logs";
    const std::vector<std::string> vtExpected{
        "Installation  " + strRoot + " (owner " + UserName() + ")",
        "  VERSION      LAUNCHER                           MAIN LIBRARY             HEALTH  IF STARTED",
        "  " + strOwn + "  " + strBuilt +
            "      missing                  ok      falls back to 16.22.100, which runs its client",
        "  16.22.100    " + strBuilt + " (!)  loads, has StartMainApp  ok      runs its own client",
        "",
        "Command  orvalo -> " + m_install.Scratch("bin/orvalo").string() + " -> " + strRoot + "/" + strOwn +
            "/launcher: " + strOwn + " falls back to 16.22.100, which runs its client",
        "",
        "Log  " + strLogDir + "/Launcher.log",
        "  directory       accepted",
        "  file            accepted",
        "  Launcher.log    absent",
        "  Launcher.1.log  absent",
        "  Launcher.2.log  absent",
        "  Launcher.3.log  absent",
        "",
        "Launches  none recorded",
        "",
        "Permissions  ok",
        "",
        "Builds",
        "  ! " + strRoot + "/16.22.100/launcher was built as " + LX_TEST_LAUNCHER_VERSION +
            ", not as version 16.22.100",
        "",
        "Dependencies  ok",
        "",
        "Needs a fallback: the newest version, " + strOwn +
            ", falls back to 16.22.100, which runs its client (doctor exit status 1)",
    };
    std::vector<std::string> vtLines;
    std::istringstream stream(result.strStdout);
    for (std::string strLine; std::getline(stream, strLine);) {
        vtLines.push_back(strLine);
    }
    ASSERT_EQ(vtLines.size(), vtExpected.size()) << result.strStdout;
    for (size_t i = 0; i < vtLines.size(); ++i) {
        EXPECT_EQ(vtLines[i], vtExpected[i]) << "line " << i + 1;
    }
}

// The keys a program reads; the README shows the whole document.
TEST_F(DoctorProgramTest, JsonCarriesWhatAProgramReads)
{
    BuildFallbackInstallation(m_install);
    ASSERT_TRUE(Run(m_install.AppRoot() / kszOwnVersionDir / "launcher", {}).bExited);
    ReapDescendants(std::chrono::seconds(20));

    int nExitStatus = -1;
    const Json::Value report = RunDoctorJson({}, &nExitStatus);

    EXPECT_EQ(report["exit_status"].asInt(), nExitStatus);
    EXPECT_NE(report["summary"].asString(), "");
    const Json::Value& newest = report["versions"][0];
    EXPECT_EQ(newest["name"].asString(), kszOwnVersionDir) << "newest first";
    EXPECT_EQ(newest["launcher"]["state"].asString(), "ok");
    EXPECT_EQ(newest["library"]["state"].asString(), "missing");
    EXPECT_EQ(newest["verdict"]["outcome"].asString(), "falls-back");
    EXPECT_EQ(newest["verdict"]["client_version"].asString(), "16.22.100");
    EXPECT_TRUE(newest["verdict"]["exit_status"].isInt());
    EXPECT_EQ(report["checks"]["command"]["facts"]["version"].asString(), kszOwnVersionDir);
    EXPECT_EQ(FindingOf(report, "builds", "version-mismatch")["facts"]["path"].asString(),
              (m_install.AppRoot() / "16.22.100/launcher").string());
    const Json::Value& launches = report["checks"]["launches"]["findings"];
    ASSERT_EQ(launches.size(), 2u) << launches.toStyledString();
    EXPECT_EQ(launches[0]["facts"]["outcome"].asString(), "fell-back");
    EXPECT_EQ(launches[1]["facts"]["pid"], launches[0]["facts"]["fallback_pid"]);
    EXPECT_EQ(launches[1]["facts"]["started_by_pid"], launches[0]["facts"]["pid"]);
}

TEST_F(DoctorProgramTest, BadInputGetsAClearMessage)
{
    BuildFallbackInstallation(m_install);
    WriteFile(m_install.Scratch("a-file"), "");
    fs::create_directories(m_install.LogFile().parent_path());
    WriteFile(m_install.LogFile(), "[info] [2026-12-08 12:00:00.123] [7:7] [Launcher] [main.cpp:24] Init\n"
                                   "this is no record\n");
    struct Case {
        std::vector<std::string> vtArgs;
        int nExitStatus;
        std::string strStderr; // a part of it
        std::string strStdout; // a part of it
    };
    const std::string strRoot = m_install.AppRoot().string();
    const std::vector<Case> vtCases{
        {{"--root", m_install.Scratch("nowhere").string()}, 64, "nowhere does not exist", ""},
        {{"--root", m_install.Scratch("a-file").string()}, 64, "a-file is not a directory", ""},
        {{"--root"}, 64, "--root needs a value", ""},
        {{"--log-lines", "many"}, 64, "--log-lines needs a whole number", ""},
        {{"--colour"}, 64, "unknown argument \"--colour\"", ""},
        {{"--root", strRoot},
         1,
         "",
         "Launches  last 1 of 1; 1 line(s) are not launcher records and were skipped\n"
         "  Launcher.log:2                  this is no record\n"},
        {{"--root", strRoot, "--log-lines", "0"}, 1, "", "Launches  none recorded"},
        {{"--help"}, 0, "", "usage: launcher-doctor"},
    };
    for (const Case& testCase : vtCases) {
        SCOPED_TRACE(::testing::PrintToString(testCase.vtArgs));
        const ProcessResult result = Run(kPathDoctorExe, testCase.vtArgs);
        ASSERT_TRUE(result.bExited);
        EXPECT_EQ(result.nExitStatus, testCase.nExitStatus) << result.strStderr;
        EXPECT_NE(result.strStderr.find(testCase.strStderr), std::string::npos) << result.strStderr;
        EXPECT_NE(result.strStdout.find(testCase.strStdout), std::string::npos) << result.strStdout;
        if (testCase.strStderr.empty()) {
            EXPECT_EQ(result.strStderr, "");
        }
    }
}

// Started through the packages' command link, it names that command.
TEST_F(DoctorProgramTest, HelpNamesTheCommandItWasStartedAs)
{
    const fs::path pathLink = m_install.Scratch("orvalo-doctor");
    fs::create_symlink(kPathDoctorExe, pathLink);
    const ProcessResult result = Run(pathLink, {"--help"});
    EXPECT_EQ(result.nExitStatus, 0);
    EXPECT_TRUE(result.strStdout.starts_with("usage: orvalo-doctor [--root DIR]")) << result.strStdout;
}

// Claims a size of 1 GiB for the launcher's first note section other than
// the version's, and makes the file long enough for the claim (sparse).
void InflateNoteSection(const fs::path& pathFile)
{
    std::string strElf = ReadFile(pathFile);
    Elf64_Ehdr stHeader{};
    std::memcpy(&stHeader, strElf.data(), sizeof stHeader);
    Elf64_Shdr stNames{};
    std::memcpy(&stNames, strElf.data() + stHeader.e_shoff + stHeader.e_shstrndx * sizeof(Elf64_Shdr), sizeof stNames);
    for (size_t i = 0; i < stHeader.e_shnum; ++i) {
        Elf64_Shdr stSection{};
        char* pSection = strElf.data() + stHeader.e_shoff + i * sizeof(Elf64_Shdr);
        std::memcpy(&stSection, pSection, sizeof stSection);
        if (stSection.sh_type == SHT_NOTE &&
            std::string_view(strElf.data() + stNames.sh_offset + stSection.sh_name) != ".note.lx.version") {
            stSection.sh_size = uint64_t(1) << 30;
            std::memcpy(pSection, &stSection, sizeof stSection);
            WriteFile(pathFile, strElf);
            fs::resize_file(pathFile, stSection.sh_offset + stSection.sh_size);
            return;
        }
    }
    ADD_FAILURE() << "no note section in " << pathFile;
}

// Every process the file lists has ended; any left is killed.
bool AllEnded(const fs::path& pathPidFile)
{
    bool bAllEnded = true;
    for (const std::string& strPid : ReadLines(pathPidFile)) {
        const pid_t nPid = std::stoi(strPid);
        bAllEnded = bAllEnded && PollUntil([&] { return ProcessEnded(nPid); }, std::chrono::seconds(2));
        ::kill(nPid, SIGKILL);
    }
    return bAllEnded && !ReadLines(pathPidFile).empty();
}

// Installations and surroundings that once made the doctor lie, stall or
// leave processes behind, each run through bash as "$DOCTOR --root R --json".
TEST_F(DoctorProgramTest, HostileInstallations)
{
    const std::string strOdd = "odd\xc2\x9b\x9b\xe2\x80\xae\xe2\x81\xa6\xff";
    const fs::path pathPids = m_install.Scratch("pids");
    struct Case {
        const char* szName;
        std::function<void(Installation&)> build;
        std::string strShell;
        std::function<void(const ProcessResult&, const Json::Value&)> check;
    };
    const std::vector<Case> vtCases{
        // First: the largest resident size is over every child so far.
        {"a note section claiming 1 GiB",
         [](Installation& install) {
             InflateNoteSection(install.AddVersion(kszOwnVersionDir, MainApp::None) / "launcher");
         },
         "", [](const ProcessResult&, const Json::Value& report) {
             rusage stUsage{};
             ::getrusage(RUSAGE_CHILDREN, &stUsage);
             EXPECT_LT(stUsage.ru_maxrss, 512 * 1024) << "KiB: half the claim, sanitizers' overhead included";
             EXPECT_EQ(report["versions"][0]["launcher"]["compiled_version"].asString(), LX_TEST_LAUNCHER_VERSION);
         }},
        {"a launcher without \"#!\" and one of another machine",
         [](Installation& install) {
             install.AddVersion(kszOwnVersionDir, MainApp::None);
             const fs::path pathScript = install.AddVersion("16.22.3", MainApp::StandIn, false) / "launcher";
             WriteFile(pathScript, "exit 0\n");
             fs::permissions(pathScript, fs::perms::owner_all);
             // The real launcher, marked as built for another machine.
             const fs::path pathOther = install.AddVersion("16.22.2", MainApp::StandIn) / "launcher";
             std::string strElf = ReadFile(pathOther);
             uint16_t u16Machine = 0;
             std::memcpy(&u16Machine, strElf.data() + 18, sizeof u16Machine);
             u16Machine = u16Machine == EM_X86_64 ? EM_AARCH64 : EM_X86_64;
             std::memcpy(strElf.data() + 18, &u16Machine, sizeof u16Machine);
             WriteFile(pathOther, strElf);
             install.AddVersion("16.21.0", MainApp::StandIn);
         },
         "", [](const ProcessResult&, const Json::Value& report) {
             EXPECT_EQ(VersionNamed(report, "16.22.3")["launcher"]["state"].asString(), "wrong-format");
             EXPECT_EQ(VersionNamed(report, "16.22.2")["launcher"]["state"].asString(), "wrong-format");
             EXPECT_EQ(report["versions"][0]["verdict"]["client_version"].asString(), "16.21.0");
         }},
        {"a library that forges and closes descriptors",
         [](Installation& install) { AddLibrary(install, kszOwnVersionDir, kPathHostileLibrary); },
         "LX_TEST_HOSTILE=forge exec \"$DOCTOR\" --root \"$ROOT\" --json",
         [](const ProcessResult&, const Json::Value& report) {
             EXPECT_EQ(report["versions"][0]["library"]["state"].asString(), "loadable");
         }},
        {"a library that starts a daemon",
         [](Installation& install) { AddLibrary(install, kszOwnVersionDir, kPathHostileLibrary); },
         "LX_TEST_HOSTILE=daemon exec \"$DOCTOR\" --root \"$ROOT\" --json",
         [&](const ProcessResult&, const Json::Value&) { EXPECT_TRUE(AllEnded(pathPids)); }},
        {"TERM while a probe hangs after starting a daemon",
         [](Installation& install) { AddLibrary(install, kszOwnVersionDir, kPathHostileLibrary); },
         "LX_TEST_HOSTILE=daemon,hang \"$DOCTOR\" --root \"$ROOT\" & /bin/sleep 1; kill -TERM $!; wait $!",
         [&](const ProcessResult& result, const Json::Value&) {
             EXPECT_EQ(result.nExitStatus, 128 + SIGTERM);
             EXPECT_TRUE(AllEnded(pathPids));
         }},
        {"KILL while a probe hangs",
         [](Installation& install) { AddLibrary(install, kszOwnVersionDir, kPathHostileLibrary); },
         "LX_TEST_HOSTILE=hang \"$DOCTOR\" --root \"$ROOT\" & /bin/sleep 1; kill -KILL $!; wait $!",
         [&](const ProcessResult&, const Json::Value&) { EXPECT_TRUE(AllEnded(pathPids)); }},
        {"300 probes under 256 descriptors",
         [](Installation& install) {
             for (int i = 0; i < 300; ++i) {
                 install.AddVersion("16.1." + std::to_string(i), MainApp::NoEntry, false);
             }
         },
         "ulimit -n 256 && exec \"$DOCTOR\" --root \"$ROOT\" --json",
         [](const ProcessResult&, const Json::Value& report) {
             const auto nAnswered = std::count_if(report["versions"].begin(), report["versions"].end(),
                                                  [](const Json::Value& version) {
                                                      return version["library"]["state"].asString() == "no-entry";
                                                  });
             EXPECT_EQ(nAnswered, 300);
         }},
        {"a FIFO in the library's place",
         [](Installation& install) {
             ::mkfifo((install.AddVersion(kszOwnVersionDir, MainApp::None) / kszMainAppLibrary).c_str(), 0644);
             install.AddVersion("16.22.100", MainApp::StandIn);
         },
         "", [](const ProcessResult&, const Json::Value& report) {
             EXPECT_EQ(report["versions"][0]["library"]["state"].asString(), "not-loadable");
             EXPECT_EQ(report["versions"][0]["verdict"]["client_version"].asString(), "16.22.100");
         }},
        {"a report nobody can write", [](Installation& install) { install.AddVersion(kszOwnVersionDir, MainApp::None); },
         "exec \"$DOCTOR\" --root \"$ROOT\" --json >/dev/full",
         [](const ProcessResult& result, const Json::Value&) {
             EXPECT_EQ(result.nExitStatus, 74);
             EXPECT_NE(result.strStderr.find("the report could not be written: No space left"), std::string::npos);
         }},
        {"controls, bidirectional marks and invalid UTF-8 in the root",
         [&](Installation& install) { fs::create_directories(install.Scratch(strOdd)); },
         "\"$DOCTOR\" --root \"$ROOT/../" + strOdd + "\"; exec \"$DOCTOR\" --root \"$ROOT/../" + strOdd + "\" --json",
         [](const ProcessResult& result, const Json::Value& report) {
             const std::string strText = result.strStdout.substr(0, result.strStdout.find("\n{"));
             for (const char* szRaw : {"\xc2\x9b", "\x9b", "\xe2\x80\xae", "\xe2\x81\xa6", "\xff"}) {
                 EXPECT_EQ(strText.find(szRaw), std::string::npos) << strText;
             }
             EXPECT_NE(strText.find("odd\\xc2\\x9b\\x9b\\xe2\\x80\\xae\\xe2\\x81\\xa6\\xff (owner"), std::string::npos);
             EXPECT_TRUE(report["root"].asString().ends_with("odd\\xc2\\x9b\\x9b\\xe2\\x80\\xae\\xe2\\x81\\xa6\\xff"));
         }},
    };
    for (const Case& testCase : vtCases) {
        SCOPED_TRACE(testCase.szName);
        fs::remove_all(m_install.AppRoot());
        fs::create_directories(m_install.AppRoot());
        fs::remove(pathPids);
        testCase.build(m_install);
        const std::string strShell =
            testCase.strShell.empty() ? "exec \"$DOCTOR\" --root \"$ROOT\" --json" : testCase.strShell;
        const ProcessResult result = Run("/bin/bash", {"-c", strShell},
                                         {{"DOCTOR", kPathDoctorExe.string()},
                                          {"ROOT", m_install.AppRoot().string()},
                                          {"LX_TEST_PID_FILE", pathPids.string()}});
        const size_t uJson = result.strStdout.find("\n{");
        const Json::Value report = result.strStdout.starts_with("{") || uJson != std::string::npos
                                       ? ParseJson(result.strStdout.substr(uJson == std::string::npos ? 0 : uJson))
                                       : Json::Value();
        testCase.check(result, report);
    }
}

// Failed starts of the newest build, planted as the launcher names them: the
// table shows them, a hold turns the verdict, and the state is only read.
TEST_F(DoctorProgramTest, ShowsFailedStartsAndHoldsWithoutTouchingTheirState)
{
    const std::optional<lx::HealthClock> optClock = lx::HealthClock::OfThisMachine();
    if (!optClock) {
        GTEST_SKIP() << "no /proc";
    }
    const int64_t n64First = optClock->n64Now - 30;
    const std::string strHeldSince = "held back since " + lx::FormatLocalTime(n64First + 2);
    const struct {
        const char* szName;
        bool bOlder; // 16.22.100 beside it
        bool bRefused; // the state writable by others: the launcher ignores it
        uint32_t u32Failed;
        int nExitStatus;
        const char* szState;
        std::string strHealth;
        const char* szVerdict;
    } arrCases[] = {
        {"held", true, false, 3, 1, "held", strHeldSince,
         "is held back and falls back to 16.22.100, which runs its client"},
        {"held, nothing older", false, false, 4, 0, "held", strHeldSince, "runs its own held build anyway"},
        {"held, in a refused state", true, true, 3, 0, "ok", "ok", "runs its own client"},
        {"failing", true, false, 2, 0, "failing",
         "2 failed starts (last at " + lx::FormatLocalTime(n64First + 1) + ")", "runs its own client"},
        {"no state", true, false, 0, 0, "ok", "ok", "runs its own client"},
    };
    for (const auto& testCase : arrCases) {
        SCOPED_TRACE(testCase.szName);
        Installation install;
        const fs::path pathOwn = install.AddVersion(kszOwnVersionDir, MainApp::StandIn);
        if (testCase.bOlder) {
            install.AddVersion("16.22.100", MainApp::StandIn);
        }
        const fs::path pathState = install.Home() / ".config/orvalo/2.0/Health";
        const std::optional<lx::BuildIdentity> optIdentity = lx::IdentifyBuild(pathOwn / kszMainAppLibrary);
        ASSERT_TRUE(optIdentity);
        for (uint32_t u32 = 0; u32 < testCase.u32Failed; ++u32) {
            fs::create_directories(pathState);
            WriteFile(pathState / lx::FormatTryName({true, kszOwnVersionDir, static_cast<pid_t>((1 << 22) + u32), 1,
                                                     optClock->strBootId, n64First + u32, *optIdentity}),
                      "");
        }
        if (testCase.bRefused) {
            fs::permissions(pathState, fs::perms::others_write, fs::perm_options::add);
        }
        const auto mapBefore = testCase.u32Failed > 0 ? Snapshot(pathState) : std::map<std::string, std::string>{};
        const EnvMap mapHome{{"HOME", install.Home().string()}};

        const ProcessResult text = Run(kPathDoctorExe, {"--root", install.AppRoot().string()}, mapHome);
        const ProcessResult json = Run(kPathDoctorExe, {"--root", install.AppRoot().string(), "--json"}, mapHome);

        EXPECT_EQ(text.nExitStatus, testCase.nExitStatus) << text.strStdout;
        const std::string strRow = std::string(kszOwnVersionDir) + " ";
        const size_t uRow = text.strStdout.find("\n  " + strRow);
        const std::string strLine = text.strStdout.substr(uRow + 1, text.strStdout.find('\n', uRow + 1) - uRow - 1);
        EXPECT_NE(strLine.find("  " + testCase.strHealth + "  "), std::string::npos) << strLine;
        EXPECT_TRUE(strLine.ends_with("  " + std::string(testCase.szVerdict))) << strLine;
        EXPECT_EQ(text.strStdout.find("LX_LAUNCHER_HEALTH=reset orvalo\n") != std::string::npos,
                  std::string(testCase.szState) == "held")
            << text.strStdout;
        const Json::Value health = ParseJson(json.strStdout)["versions"][0]["health"];
        EXPECT_EQ(health["state"].asString(), testCase.szState);
        EXPECT_EQ(health["failed_starts"].asUInt(), testCase.bRefused ? 0 : testCase.u32Failed);
        EXPECT_EQ(health["held_since"].isNull(), std::string(testCase.szState) != "held");
        EXPECT_EQ(json.nExitStatus, testCase.nExitStatus);
        if (testCase.u32Failed > 0) {
            EXPECT_EQ(Snapshot(pathState), mapBefore);
        } else {
            EXPECT_FALSE(fs::exists(install.Home() / ".config")) << "none made";
        }
    }
}

// A kiosk's home: root's and read-only. The doctor, run as an ordinary user,
// says the log cannot be made there.
TEST_F(DoctorProgramTest, SaysWhyTheLogCannotBeCreated)
{
    const std::optional<UserIds> optUser = OtherUser();
    if (!optUser) {
        GTEST_SKIP() << "acting as another user takes root and the user nobody";
    }
    const fs::path pathOwn = m_install.AddVersion(kszOwnVersionDir, MainApp::None);
    fs::copy_file(kPathDoctorExe, pathOwn / "launcher-doctor");
    fs::permissions(m_install.Home().parent_path(), fs::perms::owner_all | fs::perms::group_read |
                                                        fs::perms::group_exec | fs::perms::others_read |
                                                        fs::perms::others_exec);
    fs::permissions(m_install.Home(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                          fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    int arrFds[2] = {-1, -1};
    ASSERT_EQ(::pipe(arrFds), 0);
    EXPECT_TRUE(RunAsUser(*optUser, [&] {
        const std::string strOut = Run(pathOwn / "launcher-doctor", {"--json"}).strStdout;
        return ::write(arrFds[1], strOut.data(), strOut.size()) == static_cast<ssize_t>(strOut.size());
    }));
    ::close(arrFds[1]);
    const Json::Value report = ParseJson(ReadFile("/proc/self/fd/" + std::to_string(arrFds[0])));
    ::close(arrFds[0]);
    const Json::Value& directory = FindingOf(report, "log", "directory");
    EXPECT_TRUE(directory["warning"].asBool());
    EXPECT_EQ(directory["text"].asString(),
              "the log cannot be created: " + m_install.Home().string() + ": Permission denied");
}

} // namespace
