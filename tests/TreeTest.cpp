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

// ---- letter case --------------------------------------------------------

namespace {

// The device's file systems find a name ignoring letter case and keep the
// case it was created with; the job's fixed names meet the card's as they are.
struct LetterCaseCase {
    const char* name;
    const char* packageFolder; // as on the card
    const char* staleTarget;   // as on the device
    const char* checksumName;
};

class LetterCaseTest : public DeviceTest, public ::testing::WithParamInterface<LetterCaseCase> {
protected:
    // The device root's entries whose names are "massstorage" in any case.
    std::vector<std::string> TargetFolders() const
    {
        std::vector<std::string> found;
        for (const fs::directory_entry& entry : fs::directory_iterator(Root())) {
            const std::string name = entry.path().filename().u8string();
            if (name.size() == 11 &&
                std::equal(name.begin(), name.end(), "massstorage", [](char a, char b) { return tolower(a) == b; }))
                found.push_back(name);
        }
        return found;
    }
};

} // namespace

TEST_P(LetterCaseTest, JobFindsTheDevicesFoldersAndFilesInAnyCase)
{
    const LetterCaseCase& c = GetParam();
    const std::string package = c.packageFolder;
    WriteFile(std::string(c.staleTarget) + "/stale/old.bin", "stale");
    WriteFile(package + "/Maps/a.bin", PatternBytes(1500, 1));
    WriteFile(package + "/b.bin", PatternBytes(300, 2));
    char number[16];
    snprintf(number, sizeof number, "%X\r\n",
             static_cast<unsigned>(static_cast<uint16_t>(ModelByteSum(PatternBytes(1500, 1) + PatternBytes(300, 2)))));
    WriteFile(package + "/" + c.checksumName, number);
    const Snapshot card = Snap(package);

    EXPECT_EQ(RunJob(), STATUS_OK);
    const std::vector<std::string> targets = TargetFolders();
    ASSERT_EQ(targets.size(), 1u) << "one target folder, whatever its case";
    EXPECT_EQ(Snap(targets[0]), card) << "the stale content is gone and the package copied";
    EXPECT_EQ(Snap(package), card);
}

INSTANTIATE_TEST_SUITE_P(
    Names, LetterCaseTest,
    ::testing::Values(LetterCaseCase{"ChecksumFileInCapitals", "SDMMC/PreDLMap", "MassStorage", "CHECKSUM.INI"},
                      LetterCaseCase{"DeviceFoldersInLowerCase", "sdmmc/predlmap", "massstorage", "checksum.ini"},
                      LetterCaseCase{"MixedCaseEverywhere", "SdMmC/pReDlMaP", "MASSSTORAGE", "Checksum.Ini"}),
    [](const ::testing::TestParamInfo<LetterCaseCase>& p) { return p.param.name; });

// The read-only attribute, as FAT and Win32 keep it: the copy of a read-only
// package file is read-only too, so the job installs it, and the next job
// cannot delete it when it clears MassStorage.
struct ReadOnlyCase {
    const char* name;
    const char* file; // below the package
    int32_t nextJob;
};

class ReadOnlyTest : public DeviceTest, public ::testing::WithParamInterface<ReadOnlyCase> {};

TEST_P(ReadOnlyTest, ReadOnlyPackageFileInstallsAndThenBlocksTheNextJob)
{
    const ReadOnlyCase& c = GetParam();
    WriteSealedPackage({{"a.bin", PatternBytes(900, 1)}, {"maps/b.bin", PatternBytes(300, 2)}});
    const std::string copy = std::string("MassStorage/") + c.file;
    if (!Exists(std::string("SDMMC/PreDLMap/") + c.file)) WriteFile(std::string("SDMMC/PreDLMap/") + c.file, "");
    SetReadOnly(std::string("SDMMC/PreDLMap/") + c.file, true);
    const Snapshot card = Snap("SDMMC");

    ASSERT_EQ(RunJob(), STATUS_OK);
    WIN32_FIND_DATAW record;
    std::basic_string<WCHAR> devicePath; // ASCII
    for (char unit : copy) devicePath += static_cast<WCHAR>(unit == '/' ? '\\' : unit);
    HANDLE probe = FindFirstFileW(devicePath.c_str(), &record);
    ASSERT_NE(probe, INVALID_HANDLE_VALUE);
    FindClose(probe);
    EXPECT_TRUE(record.dwFileAttributes & FILE_ATTRIBUTE_READONLY) << "the copy keeps the attribute";
    EXPECT_FALSE(DeleteFileW(devicePath.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_EQ(RunJob(), c.nextJob);
    EXPECT_TRUE(Exists(copy));
    EXPECT_EQ(Snap("SDMMC"), card);
    SetReadOnly(copy, false);
    SetReadOnly(std::string("SDMMC/PreDLMap/") + c.file, false);
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}

INSTANTIATE_TEST_SUITE_P(Attributes, ReadOnlyTest,
                         ::testing::Values(ReadOnlyCase{"AtThePackageRoot", "a.bin", STATUS_DELETE_FAILED},
                                           ReadOnlyCase{"InASubFolder", "maps/b.bin", STATUS_REMOVE_DIR_FAILED},
                                           ReadOnlyCase{"ChecksumFile", "checksum.ini", STATUS_DELETE_FAILED}),
                         [](const ::testing::TestParamInfo<ReadOnlyCase>& p) { return p.param.name; });

TEST_F(DeviceTest, ServicesFindEveryNameIgnoringLetterCase)
{
    WriteFile("Dir/File.BIN", "old");
    WriteFile("new.bin", "new");
    WIN32_FIND_DATAW record;

    EXPECT_FALSE(CreateDirectoryW(TEXT("DIR"), NULL)) << "exists in another case";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(CopyFileW(TEXT("NEW.BIN"), TEXT("dir\\file.bin"), FALSE));
    EXPECT_EQ(Snap("Dir"), (Snapshot{{"File.BIN", "F:new"}})) << "overwritten, keeping its name";

    FILE* stream = _wfopen(TEXT("DIR\\FILE.bin"), TEXT("rb"));
    ASSERT_NE(stream, nullptr);
    char bytes[8] = {};
    EXPECT_EQ(fread(bytes, 1, sizeof bytes, stream), 3u);
    fclose(stream);
    EXPECT_EQ(std::string(bytes), "new");

    HANDLE probe = FindFirstFileW(TEXT("dIr"), &record);
    ASSERT_NE(probe, INVALID_HANDLE_VALUE);
    FindClose(probe);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(record.cFileName)), u"Dir") << "the name as stored";
    HANDLE search = FindFirstFileW(TEXT("dir\\*.*"), &record);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    while (record.cFileName[0] == '.' && FindNextFileW(search, &record)) {
    }
    FindClose(search);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(record.cFileName)), u"File.BIN");

    // Not only A to Z: Cyrillic, as the device's upper-case table has it.
    WriteFile(u8"\u043A\u0430\u0440\u0442\u044B/\u0451\u0436.bin", "hedgehog");
    EXPECT_TRUE(CopyFileW(TEXT("\u041A\u0410\u0420\u0422\u042B\\\u0401\u0416.BIN"), TEXT("copy.bin"), FALSE));
    EXPECT_EQ(ReadFile("copy.bin"), "hedgehog");

    EXPECT_TRUE(DeleteFileW(TEXT("DIR\\fILE.bIN")));
    EXPECT_TRUE(RemoveDirectoryW(TEXT("dir")));
    EXPECT_FALSE(Exists("Dir"));
}
