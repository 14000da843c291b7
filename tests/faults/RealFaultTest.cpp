// Faults of the host file system itself, beyond the seam: a full target,
// package files that vanish while the job runs, links and special files
// where the job expects plain files and folders.
#include "DeviceFixture.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "HostFaults.h"

namespace {

const std::vector<PackageFile> kSmallPackage = {
    {"a.bin", PatternBytes(3000, 11)},
    {"PreDLVerno.ini", "2.0\r\n"},
};

// Everything but the target.

// ---- a target on a full file system ------------------------------------

struct FullCase {
    const char* name;
    const char* options; // tmpfs mount options
    std::vector<PackageFile> files;
    std::vector<std::string> folders;
    int32_t expected;
};

class FullTargetTest : public DeviceTest, public ::testing::WithParamInterface<FullCase> {};

TEST_P(FullTargetTest, CopyStopsWithItsCodeAndLeavesNoHalfFile)
{
    const FullCase& c = GetParam();
    std::string why;
    if (!Mount("MassStorage", "tmpfs", "tmpfs", 0, c.options, &why))
        GTEST_SKIP() << "cannot mount a small tmpfs here (" << why << "); needs root and mount rights";

    for (const std::string& folder : c.folders) MakeFolder("SDMMC/PreDLMap/" + folder);
    WriteSealedPackage(c.files);
    const Snapshot before = SnapOutsideTarget();
    EXPECT_EQ(RunJob(), c.expected);
    EXPECT_EQ(SnapOutsideTarget(), before);
    // The target (a mount point) cannot be removed, which is no error; what
    // was copied is whole: a copy that hit the full disk is not left behind.
    for (const auto& [path, content] : Snap("MassStorage")) {
        if (content == "D") continue;
        EXPECT_EQ(content, "F:" + ReadFile("SDMMC/PreDLMap/" + path)) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tmpfs, FullTargetTest,
    ::testing::Values(
        // 16 KiB of space: the 64 KiB file cannot be written.
        FullCase{"NoSpaceForAFile", "size=16k", {{"big.bin", PatternBytes(65536, 1)}, {"small.bin", "tiny"}}, {}, 5},
        // Two inodes, one of them the mount's root: the second folder level
        // (or the first, once checksum.ini took the inode) cannot be created.
        FullCase{"NoInodeForAFolder", "nr_inodes=2", {}, {"d1/d2/d3/d4"}, 3}),
    [](const ::testing::TestParamInfo<FullCase>& param) { return std::string(param.param.name); });

// ---- a package file that vanishes while the job runs -------------------

struct VanishCase {
    const char* name;
    HostService when;         // just before this service is called ...
    const char16_t* onPath;   // ... with this device path,
    const char* removeHost;   // this host path disappears
    int32_t expected;
};

struct Vanish {
    const VanishCase* c;
    bool done;
};

void RemoveAtTheMoment(HostService service, const WCHAR* devicePath, bool, void* context)
{
    Vanish* vanish = static_cast<Vanish*>(context);
    if (vanish->done || service != vanish->c->when || std::u16string(devicePath) != vanish->c->onPath) return;
    std::error_code ignored;
    fs::remove_all(U8Path(vanish->c->removeHost), ignored); // relative to the device root, the current directory
    vanish->done = true;
}

class VanishingFileTest : public DeviceTest, public ::testing::WithParamInterface<VanishCase> {};

TEST_P(VanishingFileTest, EndsWithTheCodeOfTheStageThatMissesIt)
{
    const VanishCase& c = GetParam();
    WriteSealedPackage({{"a.bin", PatternBytes(1024, 3)}, {"maps/gone.bin", PatternBytes(3000, 4)}});
    Vanish vanish = {&c, false};
    HostFaultsSetTrace(RemoveAtTheMoment, &vanish);
    EXPECT_EQ(RunJob(), c.expected);
    EXPECT_TRUE(vanish.done) << "the job never reached the moment";
    EXPECT_FALSE(Exists(c.removeHost));
}

INSTANTIATE_TEST_SUITE_P(
    BetweenEnumerationAndUse, VanishingFileTest,
    ::testing::Values(
        VanishCase{"SourceBeforeItsCopy", SERVICE_COPY_FILE, u"SDMMC\\PreDLMap\\maps\\gone.bin",
                   "SDMMC/PreDLMap/maps/gone.bin", 5},
        VanishCase{"CopyBeforeItsSum", SERVICE_OPEN_STREAM, u"MassStorage\\maps\\gone.bin",
                   "MassStorage/maps/gone.bin", 6},
        VanishCase{"SourceFolderBeforeItsSearch", SERVICE_CREATE_DIRECTORY, u"MassStorage\\maps",
                   "SDMMC/PreDLMap/maps", 4},
        VanishCase{"ChecksumFileBeforeItsOpen", SERVICE_OPEN_STREAM, u"SDMMC\\PreDLMap\\checksum.ini",
                   "SDMMC/PreDLMap/checksum.ini", 6}),
    [](const ::testing::TestParamInfo<VanishCase>& param) { return std::string(param.param.name); });

// ---- links and special files -------------------------------------------

using SpecialFilesTest = DeviceTest;

TEST_F(SpecialFilesTest, LinksInTheTargetAreRemovedNeverFollowed)
{
    WriteFile("Outside/keep.txt", "keep");
    WriteFile("Outside/sub/deep.txt", "deep");
    MakeFolder("Outside/empty");
    MakeFolder("MassStorage/sub");
    fs::create_directory_symlink("../Outside", Root() / "MassStorage/to-folder");
    fs::create_symlink("../Outside/keep.txt", Root() / "MassStorage/to-file");
    fs::create_directory_symlink(Root() / "Outside", Root() / "MassStorage/absolute");
    fs::create_directory_symlink("../../Outside/empty", Root() / "MassStorage/sub/to-empty");
    fs::create_symlink("nowhere", Root() / "MassStorage/dangling");
    std::vector<PackageFile> files = kSmallPackage;
    files.push_back({"to-file", "a package file where the target held a link"});
    WriteSealedPackage(files);
    const Snapshot outside = Snap("Outside");

    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("Outside"), outside);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}

struct SpecialCase {
    const char* name;
    void (*make)(const fs::path& package);
};

class SpecialPackageEntryTest : public DeviceTest, public ::testing::WithParamInterface<SpecialCase> {};

TEST_P(SpecialPackageEntryTest, IsRefusedAtOnceWithCopyFailed)
{
    WriteFile("outside/keep.bin", "keep");
    WriteSealedPackage(kSmallPackage);
    GetParam().make(Root() / "SDMMC/PreDLMap");
    const Snapshot before = SnapOutsideTarget();
    // A hang here is caught by the test's time limit.
    EXPECT_EQ(RunJob(), STATUS_COPY_FAILED);
    EXPECT_EQ(SnapOutsideTarget(), before);
    for (const auto& [path, content] : Snap("MassStorage"))
        EXPECT_EQ(content, "F:" + ReadFile("SDMMC/PreDLMap/" + path)) << "only whole copies of plain files: " << path;
}

INSTANTIATE_TEST_SUITE_P(
    InThePackage, SpecialPackageEntryTest,
    ::testing::Values(
        SpecialCase{"Fifo", [](const fs::path& p) { ASSERT_EQ(mkfifo((p / "pipe").c_str(), 0644), 0); }},
        SpecialCase{"LinkToItself", [](const fs::path& p) { fs::create_symlink("loop", p / "loop"); }},
        SpecialCase{"LinkToAnAncestor", [](const fs::path& p) { fs::create_directory_symlink("..", p / "up"); }},
        SpecialCase{"LinkToFolder", [](const fs::path& p) { fs::create_symlink(p.parent_path().parent_path() / "outside", p / "dir"); }},
        SpecialCase{"LinkLoop",
                    [](const fs::path& p) {
                        fs::create_symlink("loop-b", p / "loop-a");
                        fs::create_symlink("loop-a", p / "loop-b");
                    }},
        SpecialCase{"DanglingLink", [](const fs::path& p) { fs::create_symlink("nowhere", p / "dangling"); }},
        SpecialCase{"LinkToDevice", [](const fs::path& p) { fs::create_symlink("/dev/zero", p / "zero"); }},
        // Regular files, but outside the device root.
        SpecialCase{"AbsoluteLinkOutOfTheRoot", [](const fs::path& p) { fs::create_symlink("/etc/passwd", p / "passwd"); }},
        SpecialCase{"RelativeLinkOutOfTheRoot",
                    [](const fs::path& p) { fs::create_symlink("../../../../../../../../../../../../etc/passwd", p / "passwd"); }},
        SpecialCase{"LinkToALinkOutOfTheRoot",
                    [](const fs::path& p) {
                        fs::create_symlink("/etc/passwd", p.parent_path() / "hop");
                        fs::create_symlink("../hop", p / "first");
                    }},
        // Links that stay inside the device root are not followed either.
        SpecialCase{"LinkBesideItsTarget",
                    [](const fs::path& p) {
                        std::ofstream(p / "real.bin") << "real";
                        fs::create_symlink("real.bin", p / "link.bin");
                    }},
        SpecialCase{"AbsoluteLinkInsideTheRoot",
                    [](const fs::path& p) {
                        std::ofstream(p.parent_path() / "beside.bin") << "beside";
                        fs::create_symlink(p.parent_path() / "beside.bin", p / "absolute.bin");
                    }}),
    [](const ::testing::TestParamInfo<SpecialCase>& param) { return std::string(param.param.name); });

} // namespace
