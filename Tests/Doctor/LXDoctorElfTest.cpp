// What the doctor reads from a file without running it.

#include <gtest/gtest.h>

#include "LXDoctor.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using namespace lx::doctor;
using namespace lxtest;

namespace {

TEST(LXDoctorElfTest, ReadsTheVersionNoteWithoutRunningTheFile)
{
    TempDir dir;
    WriteScript(dir / "script", "exit 0\n");
    WriteFile(dir / "text", "hello");
    WriteFile(dir / "empty", "");
    struct Case {
        fs::path path;
        bool bIsElf;
        std::optional<std::string> optNote;
    };
    const std::vector<Case> vtCases{
        {LX_TEST_LAUNCHER_EXE, true, LX_TEST_LAUNCHER_VERSION},
        {LX_TEST_VARIANT_LAUNCHER, true, LX_TEST_VARIANT_VERSION},
        {LX_TEST_STANDIN_LIBRARY, true, std::nullopt},
        {dir / "script", false, std::nullopt},
        {dir / "text", false, std::nullopt},
        {dir / "empty", false, std::nullopt},
        {dir / "missing", false, std::nullopt},
        {dir.Path(), false, std::nullopt},
    };
    for (const Case& testCase : vtCases) {
        SCOPED_TRACE(testCase.path);
        const ElfFacts facts = ReadElfFacts(testCase.path);
        EXPECT_EQ(facts.bIsElf, testCase.bIsElf) << facts.strError;
        EXPECT_EQ(facts.optStrVersionNote, testCase.optNote);
        EXPECT_EQ(facts.strError.empty(), testCase.bIsElf);
    }
    EXPECT_TRUE(ReadElfFacts(LX_TEST_LAUNCHER_EXE).optStrInterpreter.has_value());
    EXPECT_TRUE(ReadElfFacts(LX_TEST_STANDIN_LIBRARY).bHasRunPath);
    EXPECT_EQ(ReadElfFacts(dir / "script").optStrInterpreter, "/bin/sh");
    EXPECT_EQ(ReadElfFacts(dir / "text").optStrInterpreter, std::nullopt);
}

} // namespace
