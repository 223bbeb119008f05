// The doctor's command line.

#include <gtest/gtest.h>

#include "LXDoctorCli.h"

using namespace lx::doctor;

namespace {

TEST(LXDoctorCliTest, ParsesArgumentsAndRejectsTheRest)
{
    struct Case {
        std::vector<std::string> vtArgs;
        bool bValid;
        bool bJson;
        std::string strRoot;
        size_t uLogLines;
    };
    const std::vector<Case> vtCases{
        {{}, true, false, "", 5},
        {{"--json", "--root", "/opt/x", "--log-lines", "0"}, true, true, "/opt/x", 0},
        {{"--root=/opt/y", "--log-lines=12"}, true, false, "/opt/y", 12},
        {{"--root"}, false, false, "", 5},
        {{"--root="}, false, false, "", 5},
        {{"--log-lines", "-1"}, false, false, "", 5},
        {{"--log-lines", "3x"}, false, false, "", 5},
        {{"--log-lines", "99999999999999999999"}, false, false, "", 5},
        {{"--json=yes"}, false, false, "", 5},
        {{"extra"}, false, false, "", 5},
    };
    for (const Case& testCase : vtCases) {
        SCOPED_TRACE(::testing::PrintToString(testCase.vtArgs));
        std::string strError;
        const std::optional<CommandLine> optLine = ParseCommandLine(testCase.vtArgs, strError);
        ASSERT_EQ(optLine.has_value(), testCase.bValid) << strError;
        if (optLine) {
            EXPECT_EQ(optLine->bJson, testCase.bJson);
            EXPECT_EQ(optLine->optRoot.value_or("").string(), testCase.strRoot);
            EXPECT_EQ(optLine->uLogLines, testCase.uLogLines);
        } else {
            EXPECT_FALSE(strError.empty());
        }
    }
}

} // namespace
