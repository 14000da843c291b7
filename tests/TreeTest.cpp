// Clearing and copying trees: which files are summed, which folders come
// and go, and sums that must match to the byte.
#include "DeviceFixture.h"

#include "JobState.h"

namespace {

struct PackageCase {
    const char* name;
    std::vector<PackageFile> files;
    std::vector<std::string> emptyFolders;
};

std::string Repeat(unsigned char byte, size_t count) { return std::string(count, static_cast<char>(byte)); }

std::vector<PackageCase> PackageCases()
{
    return {
        {"EmptyFolders", {{"a.bin", "abc"}}, {"empty", "nested/empty/too"}},
        {"ExcludedNamesAnyCaseAnyFolder",
         {{"checksum.ini.bak", "summed"},
          {"xchecksum.ini", "summed too"},
          {"sub/CHECKSUM.INI", "not summed"},
          {"sub/predlverno.INI", "not summed"},
          {"sub/deeper/Checksum.Ini", "not summed"},
          {"PreDLVerno.ini", "not summed"},
          {"data.bin", PatternBytes(100, 7)}},
         {}},
        {"FolderNamedLikeExcludedFile",
         {{"sub/checksum.ini/inside.bin", PatternBytes(500, 3)}, {"PreDLVerno.ini/x/y.bin", PatternBytes(77, 4)}},
         {}},
        {"ChunkBoundarySizes",
         {{"s0.bin", ""},
          {"s1023.bin", PatternBytes(1023, 1)},
          {"s1024.bin", PatternBytes(1024, 2)},
          {"s1025.bin", PatternBytes(1025, 3)},
          {"s2048.bin", PatternBytes(2048, 4)},
          {"s4099.bin", PatternBytes(4099, 5)}},
         {}},
        {"HighBytes", {{"ff.bin", Repeat(0xFF, 1000)}, {"80.bin", Repeat(0x80, 3)}, {"mixed.bin", "\x01\x7F\x80\xFE"}}, {}},
        {"SumWrapsPast65535", {{"big.bin", Repeat(0xFF, 300)}, {"more.bin", Repeat(0xFE, 70000)}}, {}},
        {"UnicodeNames",
         {{u8"Karten/Straße.bin", PatternBytes(10, 1)},
          {u8"日本/東京.dat", PatternBytes(20, 2)},
          {u8"emoji/\U0001F5FA\U0001F600.bin", PatternBytes(30, 3)},
          {u8"Ελληνικά.txt", "text\r\nwith CR LF\r\n\x1A and Ctrl-Z"}},
         {u8"leer/空"}},
        {"DeepAndWide",
         {{"l1/l2/l3/l4/l5/l6/file.bin", PatternBytes(2000, 9)},
          {"w/1.bin", "1"},
          {"w/2.bin", "22"},
          {"w/3.bin", "333"},
          {"w/4.bin", "4444"}},
         {"l1/l2/side"}},
    };
}

class PackageShapeTest : public DeviceTest, public ::testing::WithParamInterface<PackageCase> {
protected:
    uint16_t Prepare(int offset)
    {
        WriteFile("MassStorage/stale.bin", "stale");
        WriteFile("MassStorage/old/deep/er.bin", "stale");
        MakeFolder("MassStorage/old/empty");
        for (const std::string& folder : GetParam().emptyFolders) MakeFolder("SDMMC/PreDLMap/" + folder);
        return WriteSealedPackage(GetParam().files, offset);
    }
};

} // namespace

TEST_P(PackageShapeTest, SealedPackageCopiesExactly)
{
    const uint16_t sum = Prepare(0);
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(g_packageSum, sum);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}

TEST_P(PackageShapeTest, SumOffByOneFailsAfterCopying)
{
    Prepare(1);
    EXPECT_EQ(RunJob(), STATUS_CHECKSUM_FAILED);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap")) << "the copy stays in place on a checksum failure";
}

INSTANTIATE_TEST_SUITE_P(Shapes, PackageShapeTest, ::testing::ValuesIn(PackageCases()),
                         [](const ::testing::TestParamInfo<PackageCase>& p) { return p.param.name; });

TEST_F(DeviceTest, EmptyPackageFolderCopiesNothingAndMatchesZero)
{
    WriteFile("MassStorage/x/y.bin", "stale");
    MakeFolder("SDMMC/PreDLMap");
    EXPECT_EQ(RunJob(), STATUS_CHECKSUM_FAILED) << "no checksum.ini in an empty package";
    EXPECT_TRUE(fs::is_directory(Root() / "MassStorage"));
    EXPECT_TRUE(Snap("MassStorage").empty());
}

TEST_F(DeviceTest, OnlyExcludedFilesMatchAnEmptyChecksumFile)
{
    WritePackage({{"PreDLVerno.ini", "1.0"}});
    WriteChecksumFile("");
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(ReadFile("MassStorage/checksum.ini"), "");
    EXPECT_EQ(ReadFile("MassStorage/PreDLVerno.ini"), "1.0");
}

TEST_F(DeviceTest, TargetOnlyEmptyFoldersAreRemoved)
{
    MakeFolder("MassStorage/a/b/c");
    MakeFolder("MassStorage/d");
    WriteSealedPackage({{"f.bin", "f"}});
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}

TEST_F(DeviceTest, NothingOutsideTheTargetChanges)
{
    WriteFile("MassStorage/x.bin", "stale");
    WriteFile("MassStorageSibling/keep.bin", "keep");
    WriteFile("massstorage.txt", "keep");
    WriteFile("SDMMC/Other/keep.bin", "keep");
    WriteSealedPackage({{"f.bin", PatternBytes(5000, 5)}});
    const Snapshot before = Snap("");
    EXPECT_EQ(RunJob(), STATUS_OK);
    Snapshot after = Snap("");
    for (auto it = after.begin(); it != after.end();) it = it->first.rfind("MassStorage/", 0) == 0 ? after.erase(it) : ++it;
    Snapshot expected = before;
    for (auto it = expected.begin(); it != expected.end();)
        it = it->first.rfind("MassStorage/", 0) == 0 ? expected.erase(it) : ++it;
    EXPECT_EQ(after, expected);
}
