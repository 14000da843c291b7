// The job as the device application sees it: codes, the two exports, the
// entry routine, and what stays on the disk.
#include "DeviceFixture.h"

#include <cstring>

#include "JobState.h"

namespace {

std::vector<PackageFile> SmallPackage()
{
    return {{"a.bin", PatternBytes(3000, 1)},
            {"sub/b.bin", PatternBytes(1024, 2)},
            {"sub/deeper/c.bin", PatternBytes(1, 3)},
            {"PreDLVerno.ini", "20261208\r\n"}};
}

} // namespace

TEST_F(DeviceTest, SealedPackageReplacesStaleTargetWithExactCopy)
{
    WriteFile("MassStorage/stale/old.bin", "old");
    WriteFile("MassStorage/a.bin", "stale content of a file the package also has");
    MakeFolder("MassStorage/stale/empty");
    WriteSealedPackage(SmallPackage());
    const Snapshot package = Snap("SDMMC");

    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
    EXPECT_EQ(Snap("SDMMC"), package) << "the package on the card must not change";
}

TEST_F(DeviceTest, MissingPackageEmptiesTargetAndReturnsSourceMissing)
{
    WriteFile("MassStorage/keep/not/really.bin", "x");
    WriteFile("MassStorage/top.bin", "y");
    EXPECT_EQ(RunJob(), STATUS_SOURCE_MISSING);
    EXPECT_TRUE(fs::is_directory(Root() / "MassStorage")) << "the copy stage creates the target again";
    EXPECT_TRUE(Snap("MassStorage").empty());
}

TEST_F(DeviceTest, MissingTargetIsCreated)
{
    WriteSealedPackage(SmallPackage());
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}

TEST_F(DeviceTest, SuccessiveJobsAreIndependent)
{
    WriteSealedPackage(SmallPackage(), 1);
    EXPECT_EQ(RunJob(), STATUS_CHECKSUM_FAILED);
    WriteSealedPackage(SmallPackage());
    EXPECT_EQ(RunJob(), STATUS_OK) << "a failure code must not survive into the next job";
    EXPECT_EQ(g_packageSum, ModelByteSum(PatternBytes(3000, 1) + PatternBytes(1024, 2) + PatternBytes(1, 3)))
        << "the sum starts from zero on every job";
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}

TEST_F(DeviceTest, MapCopyPathIsOneConstantString)
{
    const PELK_WCHAR* first = GetMapCopyPath();
    const std::u16string expected = u"\\Windows\\Pelk_MapCopy.exe";
    ASSERT_NE(first, nullptr);
    std::u16string text;
    for (const PELK_WCHAR* unit = first; *unit; ++unit) text += static_cast<char16_t>(*unit);
    EXPECT_EQ(text, expected);
    RunJob();
    EXPECT_EQ(GetMapCopyPath(), first) << "same pointer before and after a job";
}
