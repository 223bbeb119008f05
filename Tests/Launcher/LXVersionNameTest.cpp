#include <gtest/gtest.h>

#include "LXVersionName.h"
#include "LauncherFixture.h"

using namespace lxtest;

namespace {

TEST(LXVersionNameTest, ReadingLeavesNumbersWithoutARunAsTheyAre)
{
    Version stVersion = MakeVersion(9, 9, 9, 9, "/kept");
    lx::ReadVersionNumbers("release 4-5", stVersion);
    EXPECT_EQ(stVersion, MakeVersion(4, 5, 9, 9, "/kept"));
}

TEST(LXVersionNameTest, FormatWritesAllFourNumbersForReadingBack)
{
    const Version stVersion = MakeVersion(16, 23, 4294967295u, 0);
    EXPECT_EQ(lx::FormatVersion(stVersion), "16.23.4294967295.0");
    Version stReread;
    lx::ReadVersionNumbers(lx::FormatVersion(stVersion), stReread);
    EXPECT_EQ(stReread, stVersion);
}

} // namespace
