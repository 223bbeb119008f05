#include "LXText.h"

namespace lx {

std::string EscapeControlCharacters(std::string_view strText)
{
    constexpr char kszHexDigits[] = "0123456789abcdef";
    std::string strEscaped;
    strEscaped.reserve(strText.size());
    for (const char ch : strText) {
        const auto uByte = static_cast<unsigned char>(ch);
        if (ch == '\\') {
            strEscaped += "\\\\";
        } else if (ch == '\n') {
            strEscaped += "\\n";
        } else if (ch == '\t') {
            strEscaped += "\\t";
        } else if (ch == '\r') {
            strEscaped += "\\r";
        } else if (uByte < 0x20 || uByte == 0x7f) {
            strEscaped += "\\x";
            strEscaped += kszHexDigits[uByte >> 4];
            strEscaped += kszHexDigits[uByte & 0xf];
        } else {
            strEscaped += ch;
        }
    }
    return strEscaped;
}

std::string TerminalLine(const char* szArgv0, NoClientReason enReason, std::string_view strLogPath)
{
    std::string_view strProgram = szArgv0 != nullptr ? szArgv0 : "";
    if (const size_t uSlash = strProgram.rfind('/'); uSlash != std::string_view::npos) {
        strProgram.remove_prefix(uSlash + 1);
    }
    if (strProgram.empty()) {
        strProgram = "launcher";
    }
    return EscapeControlCharacters(strProgram) +
           ": the client could not be started: " + DescribeNoClientReason(enReason) + "; see " +
           EscapeControlCharacters(strLogPath) + "\n";
}

} // namespace lx
