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

TEST(LXVersionNameTest, CeilingIsTheLowerOfOursAndTheInheritedOneKeepingOurPath)
{
    const Version stSelf = MakeVersion(16, 23, 16808, 7, "/opt/app/16.23.16808");
    EXPECT_EQ(lx::CapToFallbackCeiling(stSelf, nullptr), stSelf);
    EXPECT_EQ(lx::CapToFallbackCeiling(stSelf, ""), stSelf);
    EXPECT_EQ(lx::CapToFallbackCeiling(stSelf, "16.24.0.0"), stSelf);
    EXPECT_EQ(lx::CapToFallbackCeiling(stSelf, "16.23.16808.7"), stSelf);
    EXPECT_EQ(lx::CapToFallbackCeiling(stSelf, "16.22.100.0"), MakeVersion(16, 22, 100, 0, stSelf.path));
    // Text that is not a version is ignored, never read as a low ceiling.
    EXPECT_EQ(lx::CapToFallbackCeiling(stSelf, "16.23"), stSelf);
    EXPECT_EQ(lx::CapToFallbackCeiling(stSelf, "garbage"), stSelf);
}

} // namespace
