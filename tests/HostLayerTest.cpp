// The host file layer: device semantics on POSIX, links, special files and
// lossless names.
#include "DeviceFixture.h"

#include <fcntl.h>
#include <fstream>
#include <set>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "HostCalls.h"
#include "HostFaults.h"
#include "JobState.h"

namespace {

void Link(const fs::path& target, const fs::path& link) { fs::create_symlink(target, link); }

struct DevicePathCase {
    const char16_t* device;
    const char* host; // nullptr: no host form
};

class DevicePathTest : public ::testing::TestWithParam<DevicePathCase> {};

} // namespace

TEST_P(DevicePathTest, ConvertsOrRejects)
{
    char host[1024];
    const int length = HostPathFromDevice(GetParam().device, host, sizeof host);
    if (!GetParam().host) {
        EXPECT_EQ(length, -1);
    } else {
        ASSERT_GE(length, 0);
        EXPECT_EQ(std::string(host, static_cast<size_t>(length)), GetParam().host);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, DevicePathTest,
    ::testing::Values(DevicePathCase{u"MassStorage", "MassStorage"}, DevicePathCase{u"SDMMC\\PreDLMap", "SDMMC/PreDLMap"},
                      DevicePathCase{u"\\Windows\\x", "Windows/x"}, DevicePathCase{u"a/b", "a/b"},
                      DevicePathCase{u"Stra\u00DFe", "Stra\xC3\x9F" "e"},
                      DevicePathCase{u"\U0001F600", "\xF0\x9F\x98\x80"},
                      DevicePathCase{u"\uF02A.\uF02A", "*.*"}, DevicePathCase{u"a\uF05Cb", "a\\b"},
                      DevicePathCase{u"q\uF03F\uF03A\uF07C\uF022\uF03C\uF03E\uF001", "q?:|\"<>\x01"},
                      DevicePathCase{u"bad\xDCFF\xDCFE", "bad\xFF\xFE"},
                      DevicePathCase{u"\xDCEF\xDC80\xDCAA", "\xEF\x80\xAA"}, // a real U+F02A, escaped
                      DevicePathCase{u"\uF061", "\xEF\x81\xA1"},           // not a mapped character
                      DevicePathCase{u"*.*", nullptr}, DevicePathCase{u"a?", nullptr}, DevicePathCase{u"a:b", nullptr},
                      DevicePathCase{u"a\\..\\b", nullptr}, DevicePathCase{u"a\\.\\b", nullptr},
                      DevicePathCase{u"a\\\\b", nullptr}, DevicePathCase{u"\xD800x", nullptr},
                      DevicePathCase{u"\xDC41", nullptr},
                      DevicePathCase{u"\xDCC3\xDCA9", nullptr}, // would read back as U+00E9, another name
                      DevicePathCase{u"", ""}, DevicePathCase{u"\\", ""}));

TEST(HostNames, EveryHostNameRoundTrips)
{
    const std::vector<std::string> names = {
        "plain.bin", "Stra\xC3\x9F" "e", "\xF0\x9F\x97\xBA", "*.*", "a\\b", "what?", "c:d", "pipe|", "\x01\x1F",
        "bad\xFF", "\xC3", "\xED\xA0\x80",       // a surrogate encoded in UTF-8
        "\xEF\x80\xAA",                           // U+F02A itself
        "\xC0\xAF",                               // overlong "/"
        "\xF4\x90\x80\x80",                       // past U+10FFFF
        "\xEF\x81\xA1",
    };
    std::set<std::u16string> seen;
    for (const std::string& name : names) {
        WCHAR device[MAX_PATH];
        ASSERT_GT(HostNameToDevice(name.c_str(), device, MAX_PATH), 0) << name;
        char host[1024];
        const int length = HostPathFromDevice(device, host, sizeof host);
        ASSERT_GE(length, 0) << name;
        EXPECT_EQ(std::string(host, static_cast<size_t>(length)), name);
        EXPECT_TRUE(seen.insert(device).second) << "two host names share one device name: " << name;
    }
}

TEST_F(DeviceTest, NamesThatMeanSomethingOnTheDeviceCopyAsThemselves)
{
    const std::vector<std::string> names = {"*.*/inside.bin", "a\\b.bin", "what?.bin", "bad\xFF\xFE.bin",
                                            "\xEF\x80\xAA.bin", "*/star.bin"};
    std::vector<PackageFile> files;
    for (size_t i = 0; i < names.size(); ++i) files.push_back({names[i], PatternBytes(100 + i, static_cast<unsigned>(i))});
    WriteFile("MassStorage/*.*/stale.bin", "stale");
    WriteFile("MassStorage/x\xFF/stale.bin", "stale");
    WriteSealedPackage(files);
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}

TEST_F(DeviceTest, TargetThatIsALinkIsNeverWrittenThrough)
{
    WriteFile("outside/keep.bin", "keep");
    Link(Root() / "outside", Root() / "MassStorage");
    WriteSealedPackage({{"a.bin", "a"}});
    const Snapshot outside = Snap("outside");
    EXPECT_EQ(RunJob(), STATUS_COPY_FAILED);
    EXPECT_EQ(Snap("outside"), outside);
    EXPECT_TRUE(fs::is_symlink(Root() / "MassStorage"));
}

TEST_F(DeviceTest, ServicesKeepTheDeviceRules)
{
    WriteFile("d/f.bin", "f");
    MakeFolder("empty");
    WIN32_FIND_DATAW record;
    EXPECT_EQ(_wfopen(u"d", u"rb"), nullptr) << "a folder is no stream";
    EXPECT_FALSE(CreateDirectoryW(u"d", nullptr)) << "exists already";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(RemoveDirectoryW(u"d")) << "not empty";
    EXPECT_FALSE(DeleteFileW(u"d")) << "a folder is no file";
    EXPECT_EQ(FindFirstFileW(u"empty\\*.*", &record), INVALID_HANDLE_VALUE) << "an empty folder has no entries";
    EXPECT_EQ(FindFirstFileW(u"missing", &record), INVALID_HANDLE_VALUE);
    EXPECT_EQ(FindFirstFileW(u"d\\f?.bin", &record), INVALID_HANDLE_VALUE) << "only match-all searches";

    HANDLE probe = FindFirstFileW(u"\\d", &record);
    ASSERT_NE(probe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(record.cFileName), u"d");
    EXPECT_TRUE(record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_FALSE(FindNextFileW(probe, &record));
    FindClose(probe);

    std::set<std::u16string> names;
    HANDLE search = FindFirstFileW(u"\\*.*", &record);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do names.insert(record.cFileName);
    while (FindNextFileW(search, &record));
    FindClose(search);
    EXPECT_EQ(names, (std::set<std::u16string>{u"d", u"empty"}));
}

TEST_F(DeviceTest, CopyOverwritesAndKeepsTimeAndPermissions)
{
    WriteFile("src.bin", "new content");
    WriteFile("dst.bin", "old content that is longer");
    ASSERT_EQ(chmod((Root() / "src.bin").c_str(), 0640), 0);
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(48);
    fs::last_write_time(Root() / "src.bin", stamp);
    ASSERT_TRUE(CopyFileW(u"src.bin", u"dst.bin", FALSE));
    EXPECT_EQ(ReadFile("dst.bin"), "new content");
    EXPECT_EQ(fs::last_write_time(Root() / "dst.bin"), stamp);
    EXPECT_EQ(fs::status(Root() / "dst.bin").permissions(), fs::perms(0640));
    EXPECT_FALSE(CopyFileW(u"src.bin", u"dst.bin", TRUE)) << "fail-if-exists";
    EXPECT_FALSE(CopyFileW(u"src.bin", u"src.bin", FALSE)) << "never truncates its own source";
    EXPECT_EQ(ReadFile("src.bin"), "new content");
}

TEST_F(DeviceTest, DeviceRootCanBePointedElsewhere)
{
    WriteFile("elsewhere/SDMMC/PreDLMap/a.bin", "abc");
    WriteFile("elsewhere/SDMMC/PreDLMap/checksum.ini", "126");
    ASSERT_TRUE(HostSetDeviceRoot((Root() / "elsewhere").c_str()));
    EXPECT_EQ(RunJob(), STATUS_OK);
    HostSetDeviceRoot(nullptr);
    EXPECT_EQ(ReadFile("elsewhere/MassStorage/a.bin"), "abc");
    EXPECT_FALSE(Exists("MassStorage"));
}

// A FAT card cannot hold two names that differ only in letter case; a host
// folder can. The job then does what the device's services do with the second
// name: a file is copied over the first one's copy, which keeps its name (both
// are summed); a folder cannot be created, 3.
TEST_F(DeviceTest, PackageNamesThatDifferOnlyInCaseMeetAsOnTheDevice)
{
    WriteSealedPackage({{"Twin.bin", PatternBytes(700, 1)}, {"twin.bin", PatternBytes(900, 2)}});
    EXPECT_EQ(RunJob(), STATUS_OK);
    const Snapshot target = Snap("MassStorage");
    ASSERT_EQ(target.size(), 2u) << "checksum.ini and one twin";
    const std::string kept = target.count("Twin.bin") ? "Twin.bin" : "twin.bin";
    const std::string other = kept == "Twin.bin" ? "twin.bin" : "Twin.bin";
    EXPECT_EQ(target.at(kept), "F:" + ReadFile("SDMMC/PreDLMap/" + other)) << "the second copy lands in the first";

    RemoveTree("SDMMC");
    RemoveTree("MassStorage");
    WriteSealedPackage({{"Maps/a.bin", "a"}, {"maps/b.bin", "b"}});
    EXPECT_EQ(RunJob(), STATUS_CREATE_DIR_FAILED);
}

// Where Wine, run as root, leans on the host's permissions and writes a
// read-only file anyway, the layer does as Win32 documents and a FAT volume
// does: a read-only file is never written, whoever asks. A folder without
// write permission is reported read-only, as Wine reports it, and still
// removed.
TEST_F(DeviceTest, ReadOnlyEntriesAreNeverWrittenEvenByRoot)
{
    WriteFile("ro.bin", "keep");
    WriteFile("new.bin", "new");
    MakeFolder("ro-folder");
    SetReadOnly("ro.bin", true);
    SetReadOnly("ro-folder", true);

    EXPECT_FALSE(CopyFileW(TEXT("new.bin"), TEXT("RO.BIN"), FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Streams only read: seal writes checksum.ini with the tool's own files.
    for (const WCHAR* mode : {TEXT("w"), TEXT("a"), TEXT("r+"), TEXT("wb")}) {
        EXPECT_EQ(_wfopen(TEXT("ro.bin"), mode), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    }
    EXPECT_EQ(ReadFile("ro.bin"), "keep");

    WIN32_FIND_DATAW record;
    HANDLE probe = FindFirstFileW(TEXT("ro-folder"), &record);
    ASSERT_NE(probe, INVALID_HANDLE_VALUE);
    FindClose(probe);
    EXPECT_EQ(record.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    EXPECT_TRUE(RemoveDirectoryW(TEXT("ro-folder")));
}

// Each failure names what happened, as Win32 would.
struct ErrorCase {
    const char* name;
    bool (*fails)(); // makes the entries it needs, then calls a service; true when it failed
    DWORD error;
};

class ServiceErrorTest : public DeviceTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(ServiceErrorTest, FailureSetsTheLastErrorThatSaysWhy)
{
    SetLastError(ERROR_SUCCESS);
    EXPECT_TRUE(GetParam().fails());
    EXPECT_EQ(GetLastError(), GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, ServiceErrorTest,
    ::testing::Values(
        ErrorCase{"StreamOnALink",
                  [] {
                      fs::create_symlink("nowhere", "link");
                      return _wfopen(TEXT("link"), TEXT("rb")) == nullptr;
                  },
                  ERROR_CANT_RESOLVE_FILENAME},
        ErrorCase{"CopyFromAMissingFolder", [] { return !CopyFileW(TEXT("none\\a.bin"), TEXT("b.bin"), FALSE); },
                  ERROR_PATH_NOT_FOUND},
        ErrorCase{"RemoveAFolderThatIsNotEmpty",
                  [] {
                      fs::create_directories("full/inner");
                      return !RemoveDirectoryW(TEXT("full"));
                  },
                  ERROR_DIR_NOT_EMPTY},
        ErrorCase{"DeleteAFolder",
                  [] {
                      fs::create_directories("folder");
                      return !DeleteFileW(TEXT("folder"));
                  },
                  ERROR_ACCESS_DENIED},
        // 100 units of 3 UTF-8 bytes each: within the device's limit, over the host's 255 bytes.
        ErrorCase{"NameTooLongForTheHost",
                  [] {
                      std::u16string name(100, u'\u20AC');
                      return !CreateDirectoryW(name.c_str(), nullptr);
                  },
                  ERROR_FILENAME_EXCED_RANGE}),
    [](const ::testing::TestParamInfo<ErrorCase>& p) { return p.param.name; });
