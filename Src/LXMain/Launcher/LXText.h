#pragma once

// Text for one log or terminal line.

#include <string>
#include <string_view>

#include "LXFallback.h"

namespace lx {

// Text safe for one log or terminal line: control characters (C0 and C1) and
// the bidirectional embedding, override and isolate marks as \n, \t, \r or
// \xHH per byte, every byte of invalid UTF-8 as \xHH, and the backslash
// doubled; everything else unchanged. The result is valid UTF-8.
std::string EscapeControlCharacters(std::string_view strText);
bool IsValidUtf8(std::string_view strText);

// The line for a person at a terminal when no client runs, newline ended:
// "<program>: the client could not be started: <reason>; see <log path>".
// The program is the base name of argv[0], or "launcher" without one.
std::string TerminalLine(const char* szArgv0, NoClientReason enReason, std::string_view strLogPath);

} // namespace lx
