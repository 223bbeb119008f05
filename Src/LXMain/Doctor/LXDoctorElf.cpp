#include "LXDoctorElf.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "LXPosix.h"
#include "LXVersionNote.h"

namespace fs = std::filesystem;

namespace {

// Enough for any interpreter path; longer ones are not trusted.
constexpr size_t kUMaxInterpreterSize = 4096;

// Non-blocking, so a FIFO in place of a launcher cannot hang the doctor;
// regular files only: anything else has no stable content to read.
lx::CLXFileDescriptor OpenRegularFile(const fs::path& path, std::string& strProblem)
{
    lx::CLXFileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    struct stat stStat {};
    if (!fd.IsOpen() || ::fstat(fd.Get(), &stStat) != 0) {
        strProblem = std::strerror(errno);
    } else if (!S_ISREG(stStat.st_mode)) {
        strProblem = "not a regular file";
    }
    return fd;
}

class CElfHandle {
public:
    explicit CElfHandle(int nFd) : m_pElf(elf_begin(nFd, ELF_C_READ, nullptr)) {}
    CElfHandle(const CElfHandle&) = delete;
    CElfHandle& operator=(const CElfHandle&) = delete;
    ~CElfHandle() { elf_end(m_pElf); }
    Elf* Get() const { return m_pElf; }

private:
    Elf* m_pElf;
};

bool IsPrintableAscii(std::string_view str)
{
    for (const char ch : str) {
        if (ch < 0x20 || ch > 0x7e) {
            return false;
        }
    }
    return true;
}

void ReadNotes(Elf_Data* pData, lx::doctor::ElfFacts& facts)
{
    const std::string_view strWantedName = lx::kszVersionNoteName;
    GElf_Nhdr stHeader{};
    size_t uNameOffset = 0;
    size_t uDescOffset = 0;
    size_t uOffset = 0;
    while ((uOffset = gelf_getnote(pData, uOffset, &stHeader, &uNameOffset, &uDescOffset)) > 0) {
        const char* pBytes = static_cast<const char*>(pData->d_buf);
        const std::string_view strName(pBytes + uNameOffset, stHeader.n_namesz);
        if (stHeader.n_type != lx::kUVersionNoteType || strName.substr(0, strName.find('\0')) != strWantedName) {
            continue;
        }
        std::string_view strDesc(pBytes + uDescOffset, stHeader.n_descsz);
        strDesc = strDesc.substr(0, strDesc.find('\0'));
        if (IsPrintableAscii(strDesc)) {
            facts.optStrVersionNote = std::string(strDesc);
        }
    }
}

void ReadDynamic(Elf_Scn* pSection, const GElf_Shdr& stHeader, lx::doctor::ElfFacts& facts)
{
    Elf_Data* pData = elf_getdata(pSection, nullptr);
    if (pData == nullptr || stHeader.sh_entsize == 0) {
        return;
    }
    const size_t uCount = pData->d_size / stHeader.sh_entsize;
    for (size_t i = 0; i < uCount; ++i) {
        GElf_Dyn stDyn{};
        if (gelf_getdyn(pData, static_cast<int>(i), &stDyn) == nullptr || stDyn.d_tag == DT_NULL) {
            break;
        }
        if (stDyn.d_tag == DT_RUNPATH) {
            facts.bHasRunPath = true;
        }
    }
}

void ReadInterpreter(Elf* pElf, int nFd, lx::doctor::ElfFacts& facts)
{
    size_t uCount = 0;
    if (elf_getphdrnum(pElf, &uCount) != 0) {
        return;
    }
    for (size_t i = 0; i < uCount; ++i) {
        GElf_Phdr stPhdr{};
        if (gelf_getphdr(pElf, static_cast<int>(i), &stPhdr) == nullptr || stPhdr.p_type != PT_INTERP) {
            continue;
        }
        if (stPhdr.p_filesz == 0 || stPhdr.p_filesz > kUMaxInterpreterSize) {
            return;
        }
        std::string strInterpreter(stPhdr.p_filesz, '\0');
        const ssize_t nRead =
            ::pread(nFd, strInterpreter.data(), strInterpreter.size(), static_cast<off_t>(stPhdr.p_offset));
        if (nRead != static_cast<ssize_t>(strInterpreter.size())) {
            return;
        }
        strInterpreter.resize(std::strlen(strInterpreter.c_str()));
        facts.optStrInterpreter = std::move(strInterpreter);
        return;
    }
}

} // namespace

namespace lx::doctor {

ElfFacts ReadElfFacts(const fs::path& path)
{
    ElfFacts facts;
    std::string strProblem;
    const lx::CLXFileDescriptor file = OpenRegularFile(path, strProblem);
    if (!strProblem.empty()) {
        facts.strError = std::move(strProblem);
        return facts;
    }
    if (elf_version(EV_CURRENT) == EV_NONE) {
        facts.strError = elf_errmsg(-1);
        return facts;
    }
    const CElfHandle elf(file.Get());
    if (elf.Get() == nullptr || elf_kind(elf.Get()) != ELF_K_ELF) {
        facts.strError = "not an ELF file";
        return facts;
    }
    facts.bIsElf = true;

    size_t uStringSection = 0;
    const bool bHaveNames = elf_getshdrstrndx(elf.Get(), &uStringSection) == 0;
    for (Elf_Scn* pSection = elf_nextscn(elf.Get(), nullptr); pSection != nullptr;
         pSection = elf_nextscn(elf.Get(), pSection)) {
        GElf_Shdr stHeader{};
        if (gelf_getshdr(pSection, &stHeader) == nullptr) {
            continue;
        }
        if (stHeader.sh_type == SHT_NOTE) {
            // Our section first; a relinked file may have merged the note
            // into another note section, so the others are read too.
            const char* szName = bHaveNames ? elf_strptr(elf.Get(), uStringSection, stHeader.sh_name) : nullptr;
            const bool bOurs = szName != nullptr && std::string_view(szName) == kszVersionNoteSection;
            if (bOurs || !facts.optStrVersionNote) {
                if (Elf_Data* pData = elf_getdata(pSection, nullptr); pData != nullptr) {
                    ReadNotes(pData, facts);
                }
            }
        } else if (stHeader.sh_type == SHT_DYNAMIC) {
            ReadDynamic(pSection, stHeader, facts);
        }
    }
    ReadInterpreter(elf.Get(), file.Get(), facts);
    return facts;
}

std::optional<std::string> ReadScriptInterpreter(const fs::path& path)
{
    std::string strProblem;
    const lx::CLXFileDescriptor file = OpenRegularFile(path, strProblem);
    if (!strProblem.empty()) {
        return std::nullopt;
    }
    // The kernel reads at most this much of the first line.
    char arrLine[256] = {};
    const ssize_t nRead = ::pread(file.Get(), arrLine, sizeof arrLine - 1, 0);
    if (nRead < 2 || arrLine[0] != '#' || arrLine[1] != '!') {
        return std::nullopt;
    }
    std::string_view strLine(arrLine + 2, static_cast<size_t>(nRead) - 2);
    strLine = strLine.substr(0, strLine.find('\n'));
    const size_t uStart = strLine.find_first_not_of(" \t");
    if (uStart == std::string_view::npos) {
        return std::string();
    }
    strLine.remove_prefix(uStart);
    return std::string(strLine.substr(0, strLine.find_first_of(" \t")));
}

} // namespace lx::doctor
