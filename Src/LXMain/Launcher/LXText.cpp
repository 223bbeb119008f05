#include "LXText.h"

#include <algorithm>

namespace lx {

namespace {

// The length of the well-formed UTF-8 sequence at the start of strText, 0
// when there is none (overlong forms, surrogates and values above U+10FFFF
// are not well formed); its code point in u32Code.
size_t Utf8Sequence(std::string_view strText, char32_t& u32Code)
{
    const auto uLead = static_cast<unsigned char>(strText[0]);
    const size_t uLength = uLead < 0x80 ? 1 : uLead < 0xc2 ? 0 : uLead < 0xe0 ? 2 : uLead < 0xf0 ? 3 : uLead < 0xf5 ? 4 : 0;
    if (uLength == 0 || uLength > strText.size()) {
        return 0;
    }
    u32Code = uLength == 1 ? uLead : uLead & (0x7f >> uLength);
    for (size_t i = 1; i < uLength; ++i) {
        const auto uByte = static_cast<unsigned char>(strText[i]);
        if ((uByte & 0xc0) != 0x80) {
            return 0;
        }
        u32Code = (u32Code << 6) | (uByte & 0x3f);
    }
    constexpr char32_t kArrU32Least[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool bSurrogate = u32Code >= 0xd800 && u32Code <= 0xdfff;
    return u32Code < kArrU32Least[uLength] || bSurrogate || u32Code > 0x10ffff ? 0 : uLength;
}

// C0 and C1 controls, and the marks that reorder text on display.
bool IsHidden(char32_t u32Code)
{
    return u32Code < 0x20 || (u32Code >= 0x7f && u32Code <= 0x9f) || (u32Code >= 0x202a && u32Code <= 0x202e) ||
           (u32Code >= 0x2066 && u32Code <= 0x2069);
}

} // namespace

std::string EscapeControlCharacters(std::string_view strText)
{
    constexpr char kszHexDigits[] = "0123456789abcdef";
    std::string strEscaped;
    strEscaped.reserve(strText.size());
    while (!strText.empty()) {
        char32_t u32Code = 0;
        const size_t uLength = Utf8Sequence(strText, u32Code);
        if (uLength == 1 && (u32Code == '\\' || u32Code == '\n' || u32Code == '\t' || u32Code == '\r')) {
            strEscaped += u32Code == '\\' ? "\\\\" : u32Code == '\n' ? "\\n" : u32Code == '\t' ? "\\t" : "\\r";
        } else if (uLength > 0 && !IsHidden(u32Code)) {
            strEscaped.append(strText.substr(0, uLength));
        } else {
            for (const char ch : strText.substr(0, std::max<size_t>(uLength, 1))) {
                const auto uByte = static_cast<unsigned char>(ch);
                strEscaped += "\\x";
                strEscaped += kszHexDigits[uByte >> 4];
                strEscaped += kszHexDigits[uByte & 0xf];
            }
        }
        strText.remove_prefix(std::max<size_t>(uLength, 1));
    }
    return strEscaped;
}

bool IsValidUtf8(std::string_view strText)
{
    char32_t u32Code = 0;
    for (size_t uLength = 0; !strText.empty(); strText.remove_prefix(uLength)) {
        if ((uLength = Utf8Sequence(strText, u32Code)) == 0) {
            return false;
        }
    }
    return true;
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
