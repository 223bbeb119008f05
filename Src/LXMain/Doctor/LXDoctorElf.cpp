#include "LXDoctorElf.h"

#include <fcntl.h>
#include <gelf.h>
#include <libelf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string_view>

#include "LXPosix.h"
#include "LXVersionNote.h"

namespace fs = std::filesystem;

namespace {

using lx::doctor::ElfFacts;

// Enough for any interpreter path; longer ones are not trusted.
constexpr size_t kUMaxInterpreterSize = 4096;
// The kernel reads at most this much of a "#!" line.
constexpr size_t kUMaxScriptLine = 256;

void ReadNotes(Elf_Data* pData, ElfFacts& facts)
{
    GElf_Nhdr stHeader{};
    size_t uNameOffset = 0;
    size_t uDescOffset = 0;
    size_t uOffset = 0;
    while ((uOffset = gelf_getnote(pData, uOffset, &stHeader, &uNameOffset, &uDescOffset)) > 0) {
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
    const bool bHaveNames = elf_getshdrstrndx(pElf, &uStringSection) == 0;
    for (Elf_Scn* pSection = elf_nextscn(pElf, nullptr); pSection != nullptr; pSection = elf_nextscn(pElf, pSection)) {
        GElf_Shdr stHeader{};
        Elf_Data* pData = gelf_getshdr(pSection, &stHeader) != nullptr ? elf_getdata(pSection, nullptr) : nullptr;
        if (pData == nullptr) {
            continue;
        }
        if (stHeader.sh_type == SHT_NOTE) {
            // Our section first; a relinked file may have merged the note
            // into another note section, so the others are read too.
            const char* szName = bHaveNames ? elf_strptr(pElf, uStringSection, stHeader.sh_name) : nullptr;
            if (!facts.optStrVersionNote ||
                (szName != nullptr && std::string_view(szName) == lx::kszVersionNoteSection)) {
                ReadNotes(pData, facts);
            }
        }
        const size_t uCount =
            stHeader.sh_type == SHT_DYNAMIC && stHeader.sh_entsize > 0 ? pData->d_size / stHeader.sh_entsize : 0;
        GElf_Dyn stDyn{};
        for (size_t i = 0;
             i < uCount && gelf_getdyn(pData, static_cast<int>(i), &stDyn) != nullptr && stDyn.d_tag != DT_NULL; ++i) {
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
        if (strInterpreter.empty() || strInterpreter.size() > kUMaxInterpreterSize ||
            ::pread(nFd, strInterpreter.data(), strInterpreter.size(), static_cast<off_t>(stPhdr.p_offset)) !=
                static_cast<ssize_t>(strInterpreter.size())) {
            return;
        }
        facts.optStrInterpreter = strInterpreter.c_str();
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
    ReadSections(upElf.get(), facts);
    ReadInterpreter(upElf.get(), file.Get(), facts);
    return facts;
}

} // namespace lx::doctor
