#include <gtest/gtest.h>

#include "LXText.h"

namespace {

TEST(LXTextTest, EscapingLeavesOnlyPrintableBytesAndIsUnambiguous)
{
    EXPECT_EQ(lx::EscapeControlCharacters("/opt/app/16.1.1"), "/opt/app/16.1.1");
    EXPECT_EQ(lx::EscapeControlCharacters("a\nb\tc\rd\x1b[31m\x7f\\e"), "a\\nb\\tc\\rd\\x1b[31m\\x7f\\\\e");
    EXPECT_EQ(lx::EscapeControlCharacters(std::string_view("\0\x01", 2)), "\\x00\\x01");
    EXPECT_EQ(lx::EscapeControlCharacters("caf\xc3\xa9"), "caf\xc3\xa9");
    // C1 controls, bidirectional marks and invalid UTF-8, byte by byte.
    EXPECT_EQ(lx::EscapeControlCharacters("a\xc2\x9b" "b\x9b\xe2\x80\xae\xe2\x81\xa6\xe0\x80\x8a\xc3"),
              "a\\xc2\\x9bb\\x9b\\xe2\\x80\\xae\\xe2\\x81\\xa6\\xe0\\x80\\x8a\\xc3");
}

TEST(LXTextTest, TerminalLineNamesTheProgramTheReasonAndTheLog)
{
    EXPECT_EQ(lx::TerminalLine("/opt/x/16.1.1/trader", lx::NoClientReason::NO_MAIN_APP, "/h/Launcher.log"),
              "trader: the client could not be started: no main application library found; see /h/Launcher.log\n");
    EXPECT_EQ(lx::TerminalLine(nullptr, lx::NoClientReason::NO_FALLBACK_STARTED, "/a\nb").substr(0, 9), "launcher:");
    EXPECT_NE(lx::TerminalLine("dir/", lx::NoClientReason::NO_FALLBACK_STARTED, "/a\nb").find("see /a\\nb\n"),
              std::string::npos);
}

} // namespace
