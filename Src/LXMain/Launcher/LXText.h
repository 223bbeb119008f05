#pragma once

// Text for one log or terminal line, and numbers read from text.

#include <charconv>
#include <string>
#include <string_view>
#include <system_error>

#include "LXFallback.h"

namespace lx {

// Text safe for one log or terminal line: control characters (C0 and C1) and
// the bidirectional embedding, override and isolate marks as \n, \t, \r or
// \xHH per byte, every byte of invalid UTF-8 as \xHH, and the backslash
// doubled; everything else unchanged. The result is valid UTF-8.
std::string EscapeControlCharacters(std::string_view strText);
bool IsValidUtf8(std::string_view strText);

// Reads the whole of strText as a decimal number of type T: false for an
// empty text, a sign T does not take, anything after the digits, or a value
// out of range.
template <typename T>
bool ReadWholeNumber(std::string_view strText, T& value)
{
    const char* const pEnd = strText.data() + strText.size();
    const auto [pStop, ec] = std::from_chars(strText.data(), pEnd, value);
    return ec == std::errc() && pStop == pEnd;
}

// The line for a person at a terminal when no client runs, newline ended:
// "<program>: the client could not be started: <reason>; see <log path>".
// The program is the base name of argv[0], or "launcher" without one.
std::string TerminalLine(const char* szArgv0, NoClientReason enReason, std::string_view strLogPath);

} // namespace lx
