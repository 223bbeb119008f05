#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <link.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "LXDoctor.h"
#include "LXLinuxLauncher.h"
#include "LXLogFile.h"
#include "LXPosix.h"
#include "LXVersionName.h"
#include "LXVersionNote.h"

namespace fs = std::filesystem;

namespace {

using namespace lx::doctor;

// Enough for any interpreter path; longer ones are not trusted.
constexpr size_t kUMaxInterpreterSize = 4096;
// The kernel reads at most this much of a "#!" line.
constexpr size_t kUMaxScriptLine = 256;
// Sections larger than these are not read: a header may claim any size.
constexpr uint64_t kU64MaxNoteSection = 64 * 1024;
constexpr uint64_t kU64MaxDynamicSection = 1024 * 1024;
constexpr size_t kUMaxSections = 4096;

void ReadNotes(Elf_Data* pData, ElfFacts& facts)
{
    GElf_Nhdr stHeader{};
    size_t uNameOffset = 0;
    size_t uDescOffset = 0;
    for (size_t uOffset = 0; (uOffset = gelf_getnote(pData, uOffset, &stHeader, &uNameOffset, &uDescOffset)) > 0;) {
        const char* pBytes = static_cast<const char*>(pData->d_buf);
        const std::string_view strName(pBytes + uNameOffset, stHeader.n_namesz);
        std::string_view strDesc(pBytes + uDescOffset, stHeader.n_descsz);
        strDesc = strDesc.substr(0, strDesc.find('\0'));
        if (stHeader.n_type == lx::kUVersionNoteType &&
            strName.substr(0, strName.find('\0')) == lx::kszVersionNoteName &&
            std::all_of(strDesc.begin(), strDesc.end(), [](char ch) { return ch >= 0x20 && ch <= 0x7e; })) {
            facts.optStrVersionNote = std::string(strDesc);
        }
    }
}

void ReadSections(Elf* pElf, ElfFacts& facts)
{
    size_t uStringSection = 0;
    size_t uSections = 0;
    const bool bHaveNames = elf_getshdrstrndx(pElf, &uStringSection) == 0;
    if (elf_getshdrnum(pElf, &uSections) != 0 || uSections > kUMaxSections) {
        return;
    }
    for (Elf_Scn* pSection = elf_nextscn(pElf, nullptr); pSection != nullptr; pSection = elf_nextscn(pElf, pSection)) {
        GElf_Shdr stHeader{};
        const bool bNote = gelf_getshdr(pSection, &stHeader) != nullptr && stHeader.sh_type == SHT_NOTE;
        const bool bDynamic = stHeader.sh_type == SHT_DYNAMIC && stHeader.sh_entsize > 0;
        if ((!bNote || stHeader.sh_size > kU64MaxNoteSection) && (!bDynamic || stHeader.sh_size > kU64MaxDynamicSection)) {
            continue;
        }
        Elf_Data* pData = elf_getdata(pSection, nullptr);
        // Our section first; a relinked file may have merged the note into
        // another note section, so the others are read too.
        const char* szName = bHaveNames ? elf_strptr(pElf, uStringSection, stHeader.sh_name) : nullptr;
        if (pData != nullptr && bNote &&
            (!facts.optStrVersionNote || (szName != nullptr && std::string_view(szName) == lx::kszVersionNoteSection))) {
            ReadNotes(pData, facts);
        }
        GElf_Dyn stDyn{};
        for (size_t i = 0; pData != nullptr && bDynamic && i < pData->d_size / stHeader.sh_entsize &&
                           gelf_getdyn(pData, static_cast<int>(i), &stDyn) != nullptr && stDyn.d_tag != DT_NULL;
             ++i) {
            facts.bHasRunPath = facts.bHasRunPath || stDyn.d_tag == DT_RUNPATH;
        }
    }
}

void ReadInterpreter(Elf* pElf, int nFd, ElfFacts& facts)
{
    size_t uCount = 0;
    GElf_Phdr stPhdr{};
    for (size_t i = 0; elf_getphdrnum(pElf, &uCount) == 0 && i < uCount; ++i) {
        if (gelf_getphdr(pElf, static_cast<int>(i), &stPhdr) == nullptr || stPhdr.p_type != PT_INTERP) {
            continue;
        }
        std::string strInterpreter(std::min<size_t>(stPhdr.p_filesz, kUMaxInterpreterSize + 1), '\0');
        if (!strInterpreter.empty() && strInterpreter.size() <= kUMaxInterpreterSize &&
            ::pread(nFd, strInterpreter.data(), strInterpreter.size(), static_cast<off_t>(stPhdr.p_offset)) ==
                static_cast<ssize_t>(strInterpreter.size())) {
            facts.optStrInterpreter = strInterpreter.c_str();
        }
        return;
    }
}

void ReadScriptInterpreter(int nFd, ElfFacts& facts)
{
    char arrLine[kUMaxScriptLine] = {};
    const ssize_t nRead = ::pread(nFd, arrLine, sizeof arrLine - 1, 0);
    if (nRead < 2 || arrLine[0] != '#' || arrLine[1] != '!') {
        return;
    }
    std::string_view strLine(arrLine + 2, static_cast<size_t>(nRead) - 2);
    strLine = strLine.substr(0, strLine.find('\n'));
    strLine.remove_prefix(std::min(strLine.find_first_not_of(" \t"), strLine.size()));
    facts.optStrInterpreter = std::string(strLine.substr(0, strLine.find_first_of(" \t")));
}

// execve starts an ELF file of the process's own class and machine; the
// vDSO the kernel maps into this process is one.
bool RunsHere(Elf* pElf)
{
    GElf_Ehdr stHeader{};
    const auto* pOwn = reinterpret_cast<const ElfW(Ehdr)*>(::getauxval(AT_SYSINFO_EHDR));
    return gelf_getehdr(pElf, &stHeader) != nullptr && (stHeader.e_type == ET_EXEC || stHeader.e_type == ET_DYN) &&
           gelf_getclass(pElf) == (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) &&
           (pOwn == nullptr || stHeader.e_machine == pOwn->e_machine);
}

std::string InterpreterProblem(const ElfFacts& elf)
{
    if (!elf.optStrInterpreter) {
        return {};
    }
    if (elf.optStrInterpreter->empty()) {
        return "its \"#!\" line names no interpreter";
    }
    if (::access(elf.optStrInterpreter->c_str(), X_OK) != 0) {
        return "its interpreter " + *elf.optStrInterpreter + " is missing or cannot be run (" + std::strerror(errno) +
               ")";
    }
    return {};
}

// What one launcher does by itself, started with the given ceiling: runs its
// client, stops, starts rows[optNext], or ends without a client.
struct Step {
    VerdictKind enKind = VerdictKind::Unknown; // RunsClient, NoClient, or how it stops
    std::optional<size_t> optNext;
    std::vector<FailedStart> vtFailed;
    std::optional<int> optExitStatus;
    std::string strReason; // why no client, or what is unknown
    std::string strLast;   // how the sentence ends when the road ends here
    bool bHeldAnyway = false;
};

// How a launcher stops when loading its library gives no answer.
std::optional<Step> LoadStop(const VersionRow& row)
{
    auto Stop = [](VerdictKind enKind, std::string strReason, std::string strLast) {
        Step step;
        step.enKind = enKind;
        step.strReason = std::move(strReason);
        step.strLast = std::move(strLast);
        return step;
    };
    switch (row.library.enEnd) {
    case ProbeEnd::Hangs:
        return Stop(VerdictKind::Hangs, row.strName + "'s main-application library hangs while loading",
                    "hangs while loading its main-application library");
    case ProbeEnd::Crashes:
        return Stop(VerdictKind::Crashes, row.strName + "'s main-application library crashes the process while loading",
                    "dies while loading its main-application library (" + row.library.strError + ")");
    case ProbeEnd::Failed:
        return Stop(VerdictKind::Unknown,
                    "the library of " + row.strName + " could not be probed: " + row.library.strError,
                    "has a library the doctor could not probe");
    case ProbeEnd::Answered:
        break;
    }
    return std::nullopt;
}

std::string OwnFailure(const ProbeResult& library)
{
    switch (library.enState) {
    case lx::LibraryState::NOT_FOUND:
        return "has no main-application library";
    case lx::LibraryState::NO_ENTRY:
        return "has a main-application library without StartMainApp";
    default:
        return "cannot load its main-application library (" + library.strError + ")";
    }
}

class CPredictor {
public:
    explicit CPredictor(const std::vector<VersionRow>& vtRows) : m_vtRows(vtRows), m_vtFallbackSteps(vtRows.size())
    {
        for (size_t i = 0; i < vtRows.size(); ++i) {
            m_situation.vtVersions.push_back(vtRows[i].stVersion);
            m_mapIndex.emplace(vtRows[i].stVersion.path.native(), i);
        }
        // What the scan already found, instead of a status per candidate.
        m_situation.funcHasLauncher = [this](const Version& stVersion) {
            const LauncherFileState enState = m_vtRows[m_mapIndex.at(stVersion.path.native())].launcher.enState;
            return enState != LauncherFileState::Missing && enState != LauncherFileState::Unreadable;
        };
    }

    Verdict Predict(size_t uStart)
    {
        Verdict verdict;
        const VersionRow& start = m_vtRows[uStart];
        if (start.launcher.enState != LauncherFileState::Ok) {
            verdict.enKind = VerdictKind::NotStartable;
            verdict.strReason = start.launcher.strProblem;
            verdict.strText = "cannot be started: " + verdict.strReason;
            return verdict;
        }
        const Step first = Take(uStart, std::nullopt);
        verdict.optExitStatus = first.optExitStatus;
        // Each fallback goes strictly down, so the road ends.
        const Step* pStep = &first;
        std::string strRoad;
        for (size_t uIndex = uStart;;) {
            verdict.vtChain.push_back(m_vtRows[uIndex].strName);
            strRoad += uIndex == uStart ? "" : (verdict.vtChain.size() == 2 ? "falls back to " : ", then ") + m_vtRows[uIndex].strName;
            verdict.vtFailed.insert(verdict.vtFailed.end(), pStep->vtFailed.begin(), pStep->vtFailed.end());
            if (!pStep->optNext) {
                break;
            }
            uIndex = *pStep->optNext;
            pStep = &FallbackStep(uIndex);
        }
        const bool bFellBack = verdict.vtChain.size() > 1;
        verdict.enKind = pStep->enKind;
        if (pStep->enKind == VerdictKind::RunsClient) {
            verdict.enKind = bFellBack ? VerdictKind::FallsBack : VerdictKind::RunsClient;
            verdict.strClientVersion = verdict.vtChain.back();
            const std::string strRuns = pStep->bHeldAnyway ? "runs its own held build anyway"
                                        : bFellBack        ? "runs its client"
                                                           : "runs its own client";
            verdict.strText = bFellBack ? strRoad + ", which " + strRuns : strRuns;
        } else {
            const std::string strWho = bFellBack ? verdict.vtChain.back() + ": " : std::string();
            verdict.strReason = (pStep->enKind == VerdictKind::NoClient ? strWho : std::string()) + pStep->strReason;
            verdict.strText = (bFellBack ? strRoad + ", which " : std::string()) + pStep->strLast;
            if (bFellBack && pStep->optExitStatus) {
                verdict.strText += " (its exit status " + std::to_string(*pStep->optExitStatus) + ")";
            }
        }
        if (bFellBack && start.health.enState == lx::HealthState::HELD) {
            verdict.strText = "is held back and " + verdict.strText;
        }
        for (const FailedStart& failed : verdict.vtFailed) {
            verdict.strText += "; " + failed.strVersion + "'s launcher would not start (" + failed.strProblem + ")";
        }
        if (verdict.optExitStatus && verdict.enKind != VerdictKind::FallsBack) {
            verdict.strText += "; exit status " + std::to_string(*verdict.optExitStatus);
        }
        return verdict;
    }

private:
    // A started fallback is handed the version it was started as for its
    // ceiling, so its step depends on nothing else: worked out once.
    const Step& FallbackStep(size_t uIndex)
    {
        if (!m_vtFallbackSteps[uIndex]) {
            m_vtFallbackSteps[uIndex] = Take(uIndex, m_vtRows[uIndex].stVersion);
        }
        return *m_vtFallbackSteps[uIndex];
    }

    Step Take(size_t uIndex, const std::optional<Version>& optInherited)
    {
        const VersionRow& row = m_vtRows[uIndex];
        Step step;
        auto Stop = [&](VerdictKind enKind, std::string strReason, std::string strLast) {
            step.enKind = enKind;
            step.strReason = std::move(strReason);
            step.strLast = std::move(strLast);
            return step;
        };
        if (!row.launcher.optCompiledVersion) {
            return Stop(VerdictKind::Unknown,
                        "the launcher of " + row.strName + " carries no version note: its behaviour is unknown",
                        "has a launcher that carries no version note: its behaviour is unknown");
        }
        // A held build is not loaded while an older client starts.
        const bool bHeld = row.health.enState == lx::HealthState::HELD;
        std::optional<Step> optLoadStop = LoadStop(row);
        if (optLoadStop && !bHeld) {
            return *optLoadStop;
        }
        m_situation.enOwnLibrary = optLoadStop ? lx::LibraryState::USABLE : row.library.enState;
        m_situation.bOwnHeld = bHeld;
        m_situation.stOwnVersion = *row.launcher.optCompiledVersion;
        m_situation.stOwnVersion.path = row.stVersion.path;
        m_situation.ceiling.optInherited = optInherited;
        // A start succeeds exactly when the candidate's launcher can be started.
        const lx::LaunchPlan plan = lx::PlanLaunch(m_situation, [&](const Version& stCandidate) -> std::optional<int> {
            const size_t uCandidate = m_mapIndex.at(stCandidate.path.native());
            const LauncherFile& launcher = m_vtRows[uCandidate].launcher;
            if (launcher.enState != LauncherFileState::Ok) {
                step.vtFailed.push_back({m_vtRows[uCandidate].strName, launcher.path, launcher.strProblem});
                return std::nullopt;
            }
            // The start ends as the chain below it does: 0 once a client is
            // about to start or when nothing reports, else the status of the
            // launcher that found no client.
            return FallbackStep(uCandidate).optExitStatus.value_or(0);
        });
        if (plan.enRoute == lx::LaunchRoute::RUN_OWN_CLIENT && plan.bHeldAnyway && optLoadStop) {
            optLoadStop->vtFailed = step.vtFailed;
            return *optLoadStop;
        }
        if (plan.enRoute == lx::LaunchRoute::RUN_OWN_CLIENT) {
            step.enKind = VerdictKind::RunsClient;
            step.bHeldAnyway = plan.bHeldAnyway;
            return step;
        }
        step.optExitStatus = plan.nExitStatus;
        if (plan.optFallback) {
            step.optNext = m_mapIndex.at(plan.optFallback->path.native());
        }
        if (plan.enRoute == lx::LaunchRoute::FALLBACK_STARTED) {
            return step;
        }
        return Stop(VerdictKind::NoClient, lx::DescribeNoClientReason(*plan.optNoClient),
                    OwnFailure(row.library) +
                        (plan.vtCandidates.empty()
                             ? " and has no version below " + lx::FormatVersion(plan.stCeiling) + " to fall back to"
                             : " and no fallback launcher starts"));
    }

    const std::vector<VersionRow>& m_vtRows;
    lx::LaunchSituation m_situation;
    std::unordered_map<std::string, size_t> m_mapIndex;
    std::vector<std::optional<Step>> m_vtFallbackSteps;
};

LauncherFile ExamineLauncherFile(const fs::path& path)
{
    LauncherFile launcher;
    launcher.path = path;
    std::error_code ec;
    const fs::file_status stStatus = fs::status(path, ec);
    auto Set = [&](LauncherFileState enState, std::string strProblem) {
        launcher.enState = enState;
        launcher.strProblem = std::move(strProblem);
        return launcher;
    };
    if (stStatus.type() == fs::file_type::not_found) {
        return Set(LauncherFileState::Missing, "missing");
    }
    if (ec) {
        return Set(LauncherFileState::Unreadable, "cannot be examined: " + ec.message());
    }
    if (fs::is_directory(stStatus)) {
        return Set(LauncherFileState::Directory, "is a directory");
    }
    if (!fs::is_regular_file(stStatus)) {
        return Set(LauncherFileState::NotRegular, "is not a regular file");
    }
    const ElfFacts elf = ReadElfFacts(path);
    launcher.optStrCompiledVersion = elf.optStrVersionNote;
    if (elf.optStrVersionNote && elf.optStrVersionNote->find_first_of("0123456789") != std::string::npos) {
        Version stCompiled;
        lx::ReadVersionNumbers(*elf.optStrVersionNote, stCompiled);
        Version stDirectory;
        lx::ReadVersionNumbers(path.parent_path().filename().native(), stDirectory);
        launcher.optCompiledVersion = stCompiled;
        launcher.bVersionMismatch = stCompiled.uMajor != stDirectory.uMajor ||
                                    stCompiled.uMinor != stDirectory.uMinor || stCompiled.uPatch != stDirectory.uPatch;
    }
    if (::access(path.c_str(), X_OK) != 0) {
        return Set(LauncherFileState::NotExecutable, std::string("is not executable (") + std::strerror(errno) + ")");
    }
    if (elf.bIsElf ? !elf.bRunsHere : !elf.optStrInterpreter) {
        return Set(LauncherFileState::WrongFormat, std::string("cannot be executed here (") + std::strerror(ENOEXEC) +
                                                       "): " +
                                                       (elf.bIsElf ? "an ELF file for another machine"
                                                                   : "neither an ELF program nor a \"#!\" script"));
    }
    std::string strProblem = InterpreterProblem(elf);
    return strProblem.empty() ? Set(LauncherFileState::Ok, {})
                              : Set(LauncherFileState::MissingInterpreter, std::move(strProblem));
}

} // namespace

namespace lx::doctor {

ElfFacts ReadElfFacts(const fs::path& path)
{
    ElfFacts facts;
    // Regular files only: anything else has no stable content to read.
    // Non-blocking, so a FIFO in place of a launcher cannot hang the doctor.
    const lx::CLXFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat stStat {};
    if (!file.IsOpen() || ::fstat(file.Get(), &stStat) != 0) {
        facts.strError = std::strerror(errno);
        return facts;
    }
    if (!S_ISREG(stStat.st_mode)) {
        facts.strError = "not a regular file";
        return facts;
    }
    if (elf_version(EV_CURRENT) == EV_NONE) {
        facts.strError = elf_errmsg(-1);
        return facts;
    }
    const std::unique_ptr<Elf, decltype(&elf_end)> upElf(elf_begin(file.Get(), ELF_C_READ, nullptr), &elf_end);
    if (!upElf || elf_kind(upElf.get()) != ELF_K_ELF) {
        facts.strError = "not an ELF file";
        ReadScriptInterpreter(file.Get(), facts);
        return facts;
    }
    facts.bIsElf = true;
    facts.bRunsHere = RunsHere(upElf.get());
    ReadSections(upElf.get(), facts);
    ReadInterpreter(upElf.get(), file.Get(), facts);
    return facts;
}

const char* KeyOf(LauncherFileState enState)
{
    // In the order of LauncherFileState.
    static constexpr const char* kArrSzKeys[] = {"ok",          "missing",        "unreadable",          "directory",
                                                 "not-regular", "not-executable", "missing-interpreter", "wrong-format"};
    return kArrSzKeys[static_cast<size_t>(enState)];
}

const char* KeyOf(lx::HealthState enState)
{
    // In the order of lx::HealthState.
    static constexpr const char* kArrSzKeys[] = {"ok", "failing", "held"};
    return kArrSzKeys[static_cast<size_t>(enState)];
}

const char* KeyOf(VerdictKind enKind)
{
    // In the order of VerdictKind.
    static constexpr const char* kArrSzKeys[] = {"not-startable", "runs-client", "falls-back", "no-client",
                                                 "hangs",         "crashes",     "unknown"};
    return kArrSzKeys[static_cast<size_t>(enKind)];
}

std::vector<VersionRow> ExamineVersions(const fs::path& pathRoot, const fs::path& pathSelfExe,
                                        std::chrono::milliseconds probeTimeLimit)
{
    std::vector<VersionRow> vtRows;
    std::vector<ProbeRequest> vtRequests;
    std::vector<size_t> vtProbed;
    // The launcher's state for the user the Log check reads for, where the
    // launcher would use it: a refused or read-only state holds nothing back.
    const lx::CLXFileDescriptor fdHealth = lx::OpenHealthDirectory(lx::HomeDirectory(), false);
    for (const Version& stVersion : lx::ScanVersionDirectories(pathRoot)) {
        VersionRow& row = vtRows.emplace_back();
        row.strName = stVersion.path.filename().string();
        row.stVersion = stVersion;
        row.launcher = ExamineLauncherFile(stVersion.path / kszLauncherFileName);
        row.pathLibrary = stVersion.path / lx::kszMainAppLibraryName;
        row.library.enEnd = ProbeEnd::Answered;
        if (const std::optional<lx::BuildIdentity> optIdentity = lx::IdentifyBuild(row.pathLibrary);
            optIdentity && fdHealth.IsOpen()) {
            row.health = lx::ReadBuildHealth(fdHealth.Get(), row.strName, *optIdentity);
        }
        std::error_code ec;
        const fs::file_type enType = fs::status(row.pathLibrary, ec).type();
        if (enType != fs::file_type::not_found && enType != fs::file_type::regular) {
            // The launcher does not load it, and a FIFO would block the probe.
            row.library.enState = lx::LibraryState::NOT_LOADABLE;
            row.library.strError = ec ? ec.message() : "not a regular file";
        } else if (enType == fs::file_type::regular) {
            // The launcher's own run path names its directory; a library with
            // a run path of its own makes the loader ignore it.
            vtRequests.push_back(
                {row.pathLibrary, ReadElfFacts(row.pathLibrary).bHasRunPath ? fs::path() : stVersion.path});
            vtProbed.push_back(vtRows.size() - 1);
        }
    }
    std::vector<ProbeResult> vtResults = ProbeLibraries(pathSelfExe, vtRequests, probeTimeLimit);
    for (size_t i = 0; i < vtProbed.size(); ++i) {
        vtRows[vtProbed[i]].library = std::move(vtResults[i]);
    }
    CPredictor predictor(vtRows);
    for (size_t i = 0; i < vtRows.size(); ++i) {
        vtRows[i].verdict = predictor.Predict(i);
    }
    return vtRows;
}

} // namespace lx::doctor
