#include "LXLinuxLauncher.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

#include <spdlog/spdlog.h>

#include "LXText.h"
#include "LXLauncherMessages.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kszSelfExeLink = "/proc/self/exe";
constexpr size_t kUInitialLinkBufferSize = 4096 + 1;

// The program name made absolute and canonical, or why it cannot be.
std::variant<fs::path, std::string> ResolveProgramName(const fs::path& pathArgv0)
{
    if (pathArgv0.empty()) {
        return std::string("no program name");
    }
    fs::path pathFile = pathArgv0;
    if (pathArgv0.native().find('/') == std::string::npos) {
        const std::optional<fs::path> optFound = lx::SearchPath(pathArgv0);
        if (!optFound) {
            return pathArgv0.native() + " not found in an absolute PATH entry";
        }
        pathFile = *optFound;
    }
    std::error_code ec;
    fs::path pathCanonical = fs::canonical(pathFile, ec);
    if (ec) {
        return pathFile.native() + ": " + ec.message();
    }
    return pathCanonical;
}

} // namespace

lx::LibraryState CLXLinuxLauncher::LoadMainApp(const fs::path& directory)
{
    const fs::path pathLibrary = directory / lx::kszMainAppLibraryName;
    const std::string strLibrary = lx::EscapeControlCharacters(pathLibrary.generic_string());

    // Absent and unusable end differently (127 and 126). Only a regular file
    // goes to the loader: opening a FIFO or a device may block for ever.
    std::error_code ec;
    const fs::file_type enType = fs::status(pathLibrary, ec).type();
    if (enType == fs::file_type::not_found) {
        SPDLOG_INFO(lx::msg::kszLibraryNotFound, strLibrary);
        return lx::LibraryState::NOT_FOUND;
    }
    if (enType != fs::file_type::regular) {
        SPDLOG_INFO(lx::msg::kszLibraryNotLoadable, strLibrary,
                    ec ? lx::EscapeControlCharacters(ec.message()) : std::string("not a regular file"));
        return lx::LibraryState::NOT_LOADABLE;
    }

    // Local scope and lazy binding: the client's symbols stay out of the
    // launcher's namespace, and unused ones are never resolved. Never
    // unloaded: once its initialisers ran, its threads and signal handlers
    // may run its code at any time.
    void* pHandle = dlopen(pathLibrary.c_str(), lx::kNMainAppOpenFlags);
    if (pHandle == nullptr) {
        const char* szError = dlerror();
        SPDLOG_INFO(lx::msg::kszLibraryNotLoadable, strLibrary,
                    lx::EscapeControlCharacters(szError != nullptr ? szError : "unknown error"));
        return lx::LibraryState::NOT_LOADABLE;
    }

    // dlsym hands back an object pointer; POSIX guarantees it converts to a
    // function pointer.
    m_funcStartMainApp = reinterpret_cast<FuncStartMainApp>(dlsym(pHandle, lx::kszStartMainAppSymbol));
    if (m_funcStartMainApp == nullptr) {
        SPDLOG_INFO(lx::msg::kszLibraryNoEntry, strLibrary);
        return lx::LibraryState::NO_ENTRY;
    }

    // Only now: the library's initialisers have run, and the client must see
    // the X11 platform whatever the user's environment says.
    if (setenv("QT_QPA_PLATFORM", "xcb", 1) != 0) {
        SPDLOG_INFO(lx::msg::kszNoX11);
    }
    return lx::LibraryState::USABLE;
}

fs::path CLXLinuxLauncher::GetLauncherDirectoryPath()
{
    if (m_pathLauncherDirectory.empty()) {
        m_pathLauncherDirectory = GetLauncherExePath().parent_path();
    }
    return m_pathLauncherDirectory;
}

fs::path CLXLinuxLauncher::GetVersionRootDirectoryPath()
{
    if (m_pathVersionRootDirectory.empty()) {
        m_pathVersionRootDirectory = GetLauncherDirectoryPath();
    }
    return m_pathVersionRootDirectory;
}

fs::path CLXLinuxLauncher::GetLauncherExePath()
{
    if (!m_pathLauncherExe.empty()) {
        return m_pathLauncherExe;
    }

    // readlink does not terminate the text and reports truncation only by
    // filling the buffer, so grow until the text is strictly shorter.
    size_t uBufferSize = kUInitialLinkBufferSize;
    auto upBuffer = std::make_unique<char[]>(uBufferSize);
    ssize_t nLength = readlink(kszSelfExeLink, upBuffer.get(), uBufferSize);
    while (nLength != -1 && static_cast<size_t>(nLength) == uBufferSize) {
        uBufferSize *= 2;
        upBuffer = std::make_unique<char[]>(uBufferSize);
        nLength = readlink(kszSelfExeLink, upBuffer.get(), uBufferSize);
    }

    if (nLength == -1) {
        // Once: an unknown location stays empty, and is logged once.
        if (m_bLauncherExeResolved) {
            return m_pathLauncherExe;
        }
        m_bLauncherExeResolved = true;
        auto varResolved = ResolveProgramName(GetLauncherExePathFromCommandLine());
        if (const std::string* pStrWhy = std::get_if<std::string>(&varResolved)) {
            SPDLOG_INFO(lx::msg::kszLauncherLocationUnknown, lx::EscapeControlCharacters(*pStrWhy));
        } else {
            m_pathLauncherExe = std::get<fs::path>(std::move(varResolved));
        }
    } else {
        m_pathLauncherExe = fs::path(upBuffer.get());
    }
    return m_pathLauncherExe;
}
