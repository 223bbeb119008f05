// Version directory names: the name test and the number reading never crash
// and agree with each other. Every accepted name gives its three numbers
// (saturated at the 32-bit maximum) and a zero fourth.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "LXLinuxLauncher.h"

namespace {

class FuzzLauncher : public CLXLinuxLauncher {
public:
    using CLXLauncher::CreateVersion;
};

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
    const std::string strName(reinterpret_cast<const char*>(pData), uSize);
    // A directory entry's name has neither separators nor NUL bytes.
    if (strName.find_first_of(std::string_view("/\0", 2)) != std::string::npos) {
        return 0;
    }

    FuzzLauncher launcher;
    const Version stVersion = launcher.CreateVersion(std::filesystem::path("/parent") / strName);
    if (!strName.empty() && stVersion.path.filename() != strName) {
        std::abort();
    }

    if (lx::IsVersionDirectoryName(strName)) {
        const std::vector<uint32_t> vtExpected = SplitNumbers(strName);
        if (vtExpected.size() != 3 || stVersion.uMajor != vtExpected[0] || stVersion.uMinor != vtExpected[1] ||
            stVersion.uPatch != vtExpected[2] || stVersion.uTweak != 0) {
            std::abort();
        }
    }
    return 0;
}
