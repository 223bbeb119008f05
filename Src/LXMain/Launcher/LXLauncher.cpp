#include "LXLauncher.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <spdlog/spdlog.h>

#include "LXCommon.h"
#include "LXHealth.h"
#include "LXLaunchProcess.h"
#include "LXLauncherLog.h"
#include "LXLauncherMessages.h"
#include "LXLinuxLauncher.h"
#include "LXReporter.h"
#include "LXText.h"
#include "LXVersionName.h"
#include "LXWriteSignalsHeld.h"

namespace fs = std::filesystem;

int CLXLauncher::Launch(int argc, char** argv)
{
    const auto timePointStart = std::chrono::system_clock::now();

    const char* szArgv0 = argc > 0 && argv != nullptr ? argv[0] : nullptr;
    if (szArgv0 != nullptr) {
        m_pathLauncherExeFromCommandLine = fs::path(szArgv0);
    }

    // Read once, before a library's initialisers can see or change it, and
    // kept from the client and whatever it starts.
    lx::LaunchSituation situation;
    situation.ceiling = lx::FallbackCeiling::Read(std::getenv(lx::kszFallbackCeilingEnv));
    unsetenv(lx::kszFallbackCeilingEnv);
    if (situation.ceiling.optIgnored) {
        SPDLOG_INFO(lx::msg::kszCeilingIgnored, lx::EscapeControlCharacters(*situation.ceiling.optIgnored));
    }
    const lx::HealthSetting healthSetting =
        lx::HealthSetting::Read(std::getenv(lx::kszHealthEnv), std::getenv(lx::kszHealthWindowEnv));
    unsetenv(lx::kszHealthEnv);
    unsetenv(lx::kszHealthWindowEnv);
    if (healthSetting.optIgnored) {
        SPDLOG_INFO(lx::msg::kszHealthIgnored, lx::EscapeControlCharacters(*healthSetting.optIgnored));
    }
    if (m_starterLink.Ignored()) {
        SPDLOG_INFO(lx::msg::kszReadyFdIgnored, lx::EscapeControlCharacters(*m_starterLink.Ignored()));
    }

    auto spLaunchRecord = std::make_shared<LaunchAppRecord>();

    // An unknown location (logged) loads nothing and has no versions beside
    // it: a relative guess would use whatever the working directory holds.
    const fs::path pathVersionRoot = GetVersionRootDirectoryPath();
    const std::string strOwnName = lx::EscapeControlCharacters(pathVersionRoot.filename().string());
    lx::CLXBuildHealth health;
    if (!pathVersionRoot.empty()) {
        if (!m_optSettings) {
            lx::LogPathStatus status;
            m_optSettings = lx::OpenSettingsDirectory(lx::HomeDirectory(), true, status);
        }
        health = lx::CLXBuildHealth::Begin(healthSetting, *m_optSettings, pathVersionRoot.filename().string(),
                                           pathVersionRoot / lx::kszMainAppLibraryName);
    }
    // Held: not even loaded, as its initialisers may be what fails.
    situation.bOwnHeld = health.IsHeld();
    const auto loadOwn = [&] {
        health.RecordTry();
        situation.enOwnLibrary = pathVersionRoot.empty() ? lx::LibraryState::NOT_FOUND : LoadMainApp(pathVersionRoot);
        if (situation.enOwnLibrary != lx::LibraryState::USABLE) {
            health.ForgetTry();
        }
    };
    if (!situation.bOwnHeld) {
        loadOwn();
    }
    LaunchError enError = lx::LaunchErrorFor(situation.enOwnLibrary);

    if (enError != LaunchError::LAUNCH_NO_ERROR || situation.bOwnHeld) {
        situation.stOwnVersion = kStLauncherVersion;
        situation.stOwnVersion.path = pathVersionRoot;
        spLaunchRecord->vtFailVersion.push_back(LaunchVersionResult{situation.stOwnVersion, enError});

        if (!pathVersionRoot.empty()) {
            situation.vtVersions = ParseVersionFromPath((pathVersionRoot / "..").lexically_normal());
        }
        SPDLOG_INFO(lx::msg::kszVersionsFound, lx::FormatVersionList(situation.vtVersions));
        situation.funcHasLauncher = lx::HasEntryNamed(GetLauncherExePath().filename());
    }
    const lx::BuildHealth& stHealth = health.Health();
    const std::string strLastFailed = stHealth.optLastFailed ? lx::FormatLocalTime(*stHealth.optLastFailed) : "";
    bool bHeldTold = false;
    lx::LaunchPlan plan = lx::PlanLaunch(situation, [&](const Version& stCandidate) {
        if (situation.bOwnHeld && !std::exchange(bHeldTold, true)) {
            SPDLOG_INFO(lx::msg::kszHeldStarting, strOwnName, stHealth.u32Failed, strLastFailed,
                        lx::EscapeControlCharacters(stCandidate.path.filename().string()));
        }
        return StartFallback(stCandidate);
    });
    if (plan.enRoute != lx::LaunchRoute::RUN_OWN_CLIENT && plan.vtCandidates.empty()) {
        SPDLOG_INFO(lx::msg::kszNoVersionBelow, lx::FormatVersion(plan.stCeiling));
    }
    if (plan.bHeldAnyway) {
        SPDLOG_INFO(lx::msg::kszHeldAnyway, strOwnName, stHealth.u32Failed, strLastFailed);
        loadOwn();
        enError = lx::LaunchErrorFor(situation.enOwnLibrary);
        if (situation.enOwnLibrary != lx::LibraryState::USABLE) {
            lx::EndWithoutClient(plan, situation.enOwnLibrary);
        }
    }

    spLaunchRecord->nResultStatus = enError == LaunchError::LAUNCH_NO_ERROR ? 0 : -1;
    spLaunchRecord->bIsTarget = spLaunchRecord->stTargetVersion == spLaunchRecord->stLoadVersion;
    spLaunchRecord->durationElapsed = std::chrono::system_clock::now() - timePointStart;

    CLXReporter::ReportLaunchAppRecord(spLaunchRecord);

    int nResult = plan.nExitStatus;
    if (plan.enRoute == lx::LaunchRoute::RUN_OWN_CLIENT) {
        m_fdOutput.Reset();
        m_fdTerminal.Reset();
        m_starterLink.ReportClientStarting();
        health.Watch(healthSetting.msWindow);
        nResult = StartMainApp(argc, argv);
        health.MarkHealthy();
        if (nResult != 0) {
            m_errorHandler.HandleStartMainResultError(nResult);
        }
        auto spStartRecord = std::make_shared<StartMainAppRecord>();
        spStartRecord->nResult = nResult;
        spStartRecord->stLoadVersion = spLaunchRecord->stLoadVersion;
        spStartRecord->durationElapsed = std::chrono::system_clock::now() - timePointStart;
        CLXReporter::ReportStartMainAppRecord(spStartRecord);
    }

    if (plan.enRoute != lx::LaunchRoute::FALLBACK_STARTED) {
        m_errorHandler.HandleLaunchError(enError);
    }

    if (plan.optNoClient) {
        SPDLOG_INFO(lx::msg::kszNoClient, nResult, lx::DescribeNoClientReason(*plan.optNoClient));
        TellTerminal(szArgv0, *plan.optNoClient);
    }
    m_fdOutput.Reset();
    m_fdTerminal.Reset();
    m_starterLink.Close();
    return nResult;
}

LaunchError CLXLauncher::LoadMainAppFunc(const fs::path& directory)
{
    return lx::LaunchErrorFor(LoadMainApp(directory));
}

std::optional<int> CLXLauncher::StartFallback(const Version& stCandidate)
{
    const fs::path pathExe = stCandidate.path / GetLauncherExePath().filename();
    const std::string strExe = lx::EscapeControlCharacters(pathExe.generic_string());
    SPDLOG_INFO(lx::msg::kszFallbackChosen, lx::EscapeControlCharacters(stCandidate.path.filename().string()), strExe);
    // Whatever the started launcher's own version, it may only fall further
    // down: a directory whose launcher was built with a higher version must
    // not bounce the launch back up forever.
    lx::ProcessOptions options;
    options.vtStrEnv = lx::EnvironmentWith(lx::kszFallbackCeilingEnv, lx::FormatVersion(stCandidate));
    // It gets the user's console, not the /dev/null this process put there
    // for its own client, and the write end of the pipe it reports on.
    if (m_fdOutput.IsOpen()) {
        options.vtHandOver.push_back({m_fdOutput.Get(), STDOUT_FILENO});
    }
    if (m_fdTerminal.IsOpen()) {
        options.vtHandOver.push_back({m_fdTerminal.Get(), STDERR_FILENO});
    }
    int arrReportPipe[2] = {-1, -1};
    const bool bReportPipe = ::pipe2(arrReportPipe, O_CLOEXEC) == 0;
    lx::CLXFileDescriptor fdReportRead(arrReportPipe[0]);
    lx::CLXFileDescriptor fdReportWrite(arrReportPipe[1]);
    if (bReportPipe) {
        options.vtHandOver.push_back({fdReportWrite.Get(), lx::kNReadyFdHandedOver});
        options.vtStrEnv = lx::EnvironmentWith(lx::kszReadyFdEnv, std::to_string(lx::kNReadyFdHandedOver),
                                               std::move(options.vtStrEnv));
    }

    const lx::StartResult stResult = CLXLaunchProcess::Start(pathExe, options);
    fdReportWrite.Reset();
    if (!stResult.bStarted) {
        SPDLOG_INFO(lx::msg::kszCouldNotStart, strExe,
                    std::error_code(stResult.nExecError, std::generic_category()).message());
        return std::nullopt;
    }
    SPDLOG_INFO(lx::msg::kszFallbackStarted, strExe, stResult.nPid);
    if (!bReportPipe) {
        return 0; // as before the report existed: started is all that is known
    }

    const lx::FallbackOutcome stOutcome =
        lx::AwaitFallback(fdReportRead.Get(), stResult.nPid, lx::kDurationFallbackReportWait);
    switch (stOutcome.enEnd) {
    case lx::FallbackEnd::CLIENT_STARTED:
        // Up the chain at once: the launcher that started this one waits.
        m_starterLink.ReportClientStarting();
        SPDLOG_INFO(lx::msg::kszFallbackReported, strExe, stResult.nPid);
        return 0;
    case lx::FallbackEnd::ENDED:
        if (stOutcome.optExitStatus) {
            SPDLOG_INFO(lx::msg::kszFallbackEnded, *stOutcome.optExitStatus, strExe);
            return *stOutcome.optExitStatus;
        }
        // Taken by another waiter (SIGCHLD ignored by a library that loaded
        // without its entry): it ended, and no client reported.
        SPDLOG_INFO(lx::msg::kszFallbackEndedUnknown, strExe);
        return lx::kNExitMainAppUnusable;
    case lx::FallbackEnd::NO_REPORT:
        break;
    }
    SPDLOG_INFO(lx::msg::kszFallbackSilent, lx::kDurationFallbackReportWait.count(), strExe);
    return 0;
}

void CLXLauncher::TellTerminal(const char* szArgv0, lx::NoClientReason enReason)
{
    if (m_fdTerminal.Get() < 0) {
        return;
    }
    const lx::CLXWriteSignalsHeld held; // a reader gone must not end the launcher
    lx::WriteAll(m_fdTerminal.Get(),
                 lx::TerminalLine(szArgv0, enReason, lx::LauncherLogFilePathForHome(lx::HomeDirectory())));
}

int CLXLauncher::StartMainApp(int argc, char** argv)
{
    if (m_funcStartMainApp == nullptr) {
        return static_cast<int>(LaunchError::LAUNCH_NEED_INIT_START_FUNCTION);
    }
    SPDLOG_INFO(lx::msg::kszStartMainApp, static_cast<int>(GetLauncherClientType()));
    const int nResult = m_funcStartMainApp(GetLauncherClientType(), argc, argv);
    SPDLOG_INFO(lx::msg::kszEndMainApp, nResult);
    return nResult;
}

fs::path CLXLauncher::GetLauncherExePathFromCommandLine()
{
    return m_pathLauncherExeFromCommandLine;
}

std::vector<Version> CLXLauncher::ParseVersionFromPath(const fs::path& directoryPath)
{
    return lx::ScanVersionDirectories(directoryPath);
}

// The first fallback candidate: the one a launch tries first.
std::optional<Version> CLXLauncher::GetValidLowerVersion(const Version& stVersion,
                                                         const std::vector<Version>& vtVersions)
{
    const std::vector<Version> vtCandidates = lx::FallbackCandidates(
        stVersion, stVersion.path, vtVersions, lx::HasEntryNamed(GetLauncherExePath().filename()));
    if (vtCandidates.empty()) {
        return std::nullopt;
    }
    return vtCandidates.front();
}

bool CLXLauncher::IsVersionDirectory(const fs::path& path)
{
    return lx::IsVersionDirectory(path);
}

Version CLXLauncher::CreateVersion(const fs::path& versionPath)
{
    return lx::CreateVersion(versionPath);
}
