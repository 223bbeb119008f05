#pragma once

#include <cstdint>

// The launcher carries its compiled-in version as an ELF note, so a tool can
// read it from the file without running it. The note's description is the
// text "a.b.c.d".
namespace lx {

inline constexpr const char* kszVersionNoteSection = ".note.lx.version";
inline constexpr const char* kszVersionNoteName = "LX";
inline constexpr uint32_t kUVersionNoteType = 1;

} // namespace lx
