#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "LXEnumDefine.h"
#include "LXErrorHandler.h"
#include "LXFallback.h"
#include "LXHandOver.h"
#include "LXLauncherData.h"
#include "LXLogFile.h"
#include "LXPosix.h"

using FuncStartMainApp = int (*)(ClientType clientType, int argc, char** argv);

// The launcher's own version, fixed at build time in the program's generated
// version file (lx_add_launcher_version); its directory is only known at run
// time.
extern const Version kStLauncherVersion;

class CLXLauncher {
public:
    CLXLauncher() = default;

    virtual int Launch(int argc, char** argv);

    // The user's original standard output and error: a started fallback
    // gets them, and one line goes to the error when no client runs. Closed
    // before the client starts, which runs in this process.
    void KeepConsole(lx::CLXFileDescriptor fdOutput, lx::CLXFileDescriptor fdTerminal)
    {
        m_fdOutput = std::move(fdOutput);
        m_fdTerminal = std::move(fdTerminal);
    }
    // The link to the launcher that started this one, if any.
    void KeepStarterLink(lx::CLXStarterLink starterLink) { m_starterLink = std::move(starterLink); }
    // The settings directory the log was opened below, for the launcher's
    // other state, refused ones included; opened at launch when not kept.
    void KeepSettings(lx::PrivateDirectory settings) { m_optSettings = std::move(settings); }

protected:
    virtual int StartMainApp(int argc, char** argv);
    // Loads the library and binds its entry; what it found.
    virtual lx::LibraryState LoadMainApp(const std::filesystem::path& directory) = 0;
    virtual LaunchError LoadMainAppFunc(const std::filesystem::path& directory);
    virtual std::filesystem::path GetLauncherDirectoryPath() = 0;
    virtual std::filesystem::path GetVersionRootDirectoryPath() = 0;
    virtual std::filesystem::path GetLauncherExePath() = 0;

    std::vector<Version> ParseVersionFromPath(const std::filesystem::path& directoryPath);
    std::optional<Version> GetValidLowerVersion(const Version& stVersion, const std::vector<Version>& vtVersions);
    bool IsVersionDirectory(const std::filesystem::path& path);
    Version CreateVersion(const std::filesystem::path& versionPath);
    std::filesystem::path GetLauncherExePathFromCommandLine();
    std::optional<int> StartFallback(const Version& stCandidate);
    void TellTerminal(const char* szArgv0, lx::NoClientReason enReason);

    FuncStartMainApp m_funcStartMainApp = nullptr;
    std::filesystem::path m_pathLauncherDirectory;
    std::filesystem::path m_pathVersionRootDirectory;
    std::filesystem::path m_pathLauncherExeFromCommandLine;
    std::filesystem::path m_pathLauncherExe;
    CLXErrorHandler m_errorHandler;
    lx::CLXFileDescriptor m_fdOutput;
    lx::CLXFileDescriptor m_fdTerminal;
    lx::CLXStarterLink m_starterLink;
    std::optional<lx::PrivateDirectory> m_optSettings;
};
