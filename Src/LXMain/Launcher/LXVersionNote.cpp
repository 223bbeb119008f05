// Emits the launcher's version note from the same definitions as the
// constant the launcher's code uses, so the two never disagree.

#include <cstddef>
#include <cstdint>

#include "LXVersionNote.h"

namespace {

constexpr uint32_t kArrVersionNumbers[] = {LX_LAUNCHER_VERSION_MAJOR, LX_LAUNCHER_VERSION_MINOR,
                                           LX_LAUNCHER_VERSION_PATCH, LX_LAUNCHER_VERSION_TWEAK};

constexpr size_t DigitCount(uint32_t uValue)
{
    size_t uCount = 1;
    while (uValue >= 10) {
        uValue /= 10;
        ++uCount;
    }
    return uCount;
}

constexpr size_t VersionTextLength()
{
    size_t uLength = 3; // the dots
    for (const uint32_t uNumber : kArrVersionNumbers) {
        uLength += DigitCount(uNumber);
    }
    return uLength;
}

// Name and description are each padded to four bytes.
constexpr size_t PaddedToWord(size_t uSize)
{
    return (uSize + 3) / 4 * 4;
}

constexpr size_t kUNameSize = 3; // "LX" and its terminator
constexpr size_t kUDescSize = VersionTextLength();

struct VersionNote {
    uint32_t uNameSize;
    uint32_t uDescSize;
    uint32_t uType;
    char arrName[PaddedToWord(kUNameSize)];
    char arrDesc[PaddedToWord(kUDescSize)];
};

constexpr VersionNote MakeVersionNote()
{
    VersionNote note{};
    note.uNameSize = kUNameSize;
    note.uDescSize = kUDescSize;
    note.uType = lx::kUVersionNoteType;
    for (size_t i = 0; i + 1 < kUNameSize; ++i) {
        note.arrName[i] = lx::kszVersionNoteName[i];
    }
    size_t uPos = 0;
    for (size_t uIndex = 0; uIndex < 4; ++uIndex) {
        if (uIndex > 0) {
            note.arrDesc[uPos++] = '.';
        }
        uint32_t uValue = kArrVersionNumbers[uIndex];
        const size_t uDigits = DigitCount(uValue);
        for (size_t i = uDigits; i > 0; --i) {
            note.arrDesc[uPos + i - 1] = static_cast<char>('0' + uValue % 10);
            uValue /= 10;
        }
        uPos += uDigits;
    }
    return note;
}

// The assembler gives sections named ".note..." the note type, which is what
// note readers look for; "used" keeps the otherwise unreferenced object, and
// the explicit alignment stops the compiler padding it to a vector boundary.
[[gnu::section(".note.lx.version"), gnu::used, gnu::aligned(4)]] constexpr VersionNote kStLauncherVersionNote =
    MakeVersionNote();

} // namespace
