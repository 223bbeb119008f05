#pragma once

#include <cstddef>
#include <cstdint>

// The launcher carries its compiled-in version as an ELF note, so a tool can
// read it from the file without running it. The note's description is the
// text "a.b.c.d", without its terminator.
namespace lx {

inline constexpr const char* kszVersionNoteSection = ".note.lx.version";
inline constexpr const char* kszVersionNoteName = "LX";
inline constexpr uint32_t kUVersionNoteType = 1;

// Name and description are each padded to four bytes.
constexpr size_t PaddedToWord(size_t uSize)
{
    return (uSize + 3) / 4 * 4;
}

template <size_t uTextSize>
struct VersionNote {
    uint32_t uNameSize;
    uint32_t uDescSize;
    uint32_t uType;
    char arrName[PaddedToWord(sizeof("LX"))];
    char arrDesc[PaddedToWord(uTextSize - 1)];
};

template <size_t uTextSize>
constexpr VersionNote<uTextSize> MakeVersionNote(const char (&szVersion)[uTextSize])
{
    VersionNote<uTextSize> note{};
    note.uNameSize = sizeof("LX");
    note.uDescSize = uTextSize - 1;
    note.uType = kUVersionNoteType;
    for (size_t i = 0; kszVersionNoteName[i] != '\0'; ++i) {
        note.arrName[i] = kszVersionNoteName[i];
    }
    for (size_t i = 0; i + 1 < uTextSize; ++i) {
        note.arrDesc[i] = szVersion[i];
    }
    return note;
}

} // namespace lx
