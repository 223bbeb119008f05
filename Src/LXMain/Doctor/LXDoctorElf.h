#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace lx::doctor {

// What the doctor needs to know about an executable or library file, read
// without running or loading it.
struct ElfFacts {
    bool bIsElf = false;
    std::string strError;                         // why the file could not be read as ELF
    std::optional<std::string> optStrVersionNote; // the launcher's "a.b.c.d" note
    std::optional<std::string> optStrInterpreter; // PT_INTERP, or the program a "#!" first line names
    bool bHasRunPath = false;                     // DT_RUNPATH present
};

ElfFacts ReadElfFacts(const std::filesystem::path& path);

} // namespace lx::doctor
