#include <gtest/gtest.h>

#include "LXPosix.h"

namespace {

TEST(LXPosixTest, ArgvPointsAtItsOwnStringsAndEndsInNull)
{
    lx::CArgv argv({"prog", "", "a longer argument than fits in a short string"});
    ASSERT_EQ(argv.Count(), 3);
    EXPECT_STREQ(argv.Data()[0], "prog");
    EXPECT_STREQ(argv.Data()[1], "");
    EXPECT_STREQ(argv.Data()[2], "a longer argument than fits in a short string");
    EXPECT_EQ(argv.Data()[3], nullptr);
}

} // namespace
