#include "DeviceFixture.h"

#include "JobState.h"

TEST_F(DeviceTest, SealedPackageInstallsAnExactCopy)
{
    WriteFile("MassStorage/stale/old.bin", "old");
    WriteSealedPackage({{"a.bin", PatternBytes(3000, 1)}, {"sub/b.bin", PatternBytes(1024, 2)}, {"PreDLVerno.ini", "v1"}});
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}
