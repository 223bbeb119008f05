// The test program doubles as the programs its tests start, so what a
// started program was handed is read by the program itself, not guessed
// from another tool's output.

#include <cstdlib>
#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "LauncherFixture.h"

int main(int argc, char** argv)
{
    // First the wrapper, whose program may be a launcher starting probes.
    if (argc >= 3 && std::strcmp(argv[1], lxtest::kszWithoutCloseRangeFlag) == 0) {
        return lxtest::ExecWithoutCloseRange(argv + 2);
    }
    // Before anything else runs: the record must show what was inherited.
    if (const char* szRecord = std::getenv(lxtest::kszProbeRecordEnv); szRecord != nullptr && *szRecord != '\0') {
        return lxtest::RunProbe(szRecord, argc, argv);
    }
    testing::InitGoogleMock(&argc, argv);
    return RUN_ALL_TESTS();
}
