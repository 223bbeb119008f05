// Version names and texts: the name test, the number reading and the ceiling
// never crash and agree with each other. Every accepted name gives its three
// numbers (saturated at the 32-bit maximum) and a zero fourth.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "LXFallback.h"
#include "LXVersionName.h"

namespace {

// An independent reading of "a.b.c", used as the oracle.
std::vector<uint32_t> SplitNumbers(std::string_view strName)
{
    std::vector<uint32_t> vtNumbers;
    uint64_t uValue = 0;
    for (const char ch : strName) {
        if (ch == '.') {
            vtNumbers.push_back(static_cast<uint32_t>(uValue));
            uValue = 0;
        } else {
            uValue = uValue * 10 + static_cast<uint64_t>(ch - '0');
            if (uValue > UINT32_MAX) {
                uValue = UINT32_MAX;
            }
        }
    }
    vtNumbers.push_back(static_cast<uint32_t>(uValue));
    return vtNumbers;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uSize)
{
    const std::string strText(reinterpret_cast<const char*>(pData), uSize);

    Version stVersion;
    lx::ReadVersionNumbers(strText, stVersion);
    Version stReread;
    lx::ReadVersionNumbers(lx::FormatVersion(stVersion), stReread);
    if (stReread != stVersion) {
        std::abort();
    }

    // Whatever the inherited text, the ceiling only ever lowers.
    const Version stSelf{16, 23, 16808, 7081625, "/opt/app/16.23.16808"};
    const Version stCeiling = lx::FallbackCeiling::Read(strText.c_str()).Below(stSelf);
    if (stSelf < stCeiling || stCeiling.path != stSelf.path) {
        std::abort();
    }

    if (lx::IsVersionDirectoryName(strText)) {
        const std::vector<uint32_t> vtExpected = SplitNumbers(strText);
        if (vtExpected.size() != 3 || stVersion.uMajor != vtExpected[0] || stVersion.uMinor != vtExpected[1] ||
            stVersion.uPatch != vtExpected[2] || stVersion.uTweak != 0) {
            std::abort();
        }
    }
    return 0;
}
