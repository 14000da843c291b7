// The job on the real Win32 file API, with faults made the platform's own
// way: the read-only attribute and handles the test holds open with chosen
// share modes. Each fault is then lifted and the same device must install,
// so the code seen came from that fault and left nothing behind.
#include "DeviceFixture.h"

#include <windows.h>

namespace {

std::wstring DevicePath(const std::string& relative)
{
    return U8Path(relative).make_preferred().wstring();
}

// A file opened by "another application" for as long as the case runs.
class HeldFile {
public:
    HeldFile() : handle_(INVALID_HANDLE_VALUE) {}
    bool Hold(const std::string& relative, DWORD access, DWORD share)
    {
        handle_ = CreateFileW(DevicePath(relative).c_str(), access, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        return Held();
    }
    ~HeldFile() { Release(); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool Held() const { return handle_ != INVALID_HANDLE_VALUE; }
    void Release()
    {
        if (Held()) CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }

private:
    HANDLE handle_;
};

enum FaultKind { READ_ONLY, HELD_OPEN };

struct FaultCase {
    const char* name;
    FaultKind kind;
    const char* file; // relative to the device root
    DWORD access;     // HELD_OPEN: the holder's access and share mode
    DWORD share;
    int32_t status;
};

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class Win32FaultTest : public DeviceTest, public ::testing::WithParamInterface<FaultCase> {};

} // namespace

TEST_P(Win32FaultTest, FaultGivesItsCodeAndTheDeviceInstallsOnceItIsLifted)
{
    const FaultCase& fault = GetParam();
    WriteSealedPackage({{"a.bin", PatternBytes(1500, 3)}, {"maps/b.bin", PatternBytes(700, 4)}});
    WriteFile("MassStorage/old.bin", "old");
    WriteFile("MassStorage/sub/old.bin", "old");
    if (!Exists(fault.file)) WriteFile(fault.file, "stale");
    const std::string before = ReadFile(fault.file);

    HeldFile holder;
    if (fault.kind == READ_ONLY) {
        ASSERT_TRUE(SetFileAttributesW(DevicePath(fault.file).c_str(), FILE_ATTRIBUTE_READONLY));
    } else {
        ASSERT_TRUE(holder.Hold(fault.file, fault.access, fault.share)) << "error " << GetLastError();
    }

    EXPECT_EQ(RunJob(), fault.status);

    holder.Release();
    ASSERT_TRUE(SetFileAttributesW(DevicePath(fault.file).c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(ReadFile(fault.file), before) << "the file behind the fault is untouched";
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}

INSTANTIATE_TEST_SUITE_P(
    Win32, Win32FaultTest,
    ::testing::Values(
        // DeleteFileW refuses a read-only file.
        FaultCase{"ReadOnlyFileInTarget", READ_ONLY, "MassStorage/ro.bin", 0, 0, STATUS_DELETE_FAILED},
        // Deeper down, its folder cannot be removed either, and that code replaces 1.
        FaultCase{"ReadOnlyFileDeeper", READ_ONLY, "MassStorage/sub/deeper/ro.bin", 0, 0,
                  STATUS_REMOVE_DIR_FAILED},
        // Open elsewhere without FILE_SHARE_DELETE: DeleteFileW is refused the same way.
        FaultCase{"OpenFileInTarget", HELD_OPEN, "MassStorage/held.bin", GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, STATUS_DELETE_FAILED},
        FaultCase{"OpenFileDeeper", HELD_OPEN, "MassStorage/sub/held.bin", GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE, STATUS_REMOVE_DIR_FAILED},
        // No read sharing on a package file: CopyFileW cannot open its source.
        FaultCase{"PackageFileWithoutReadSharing", HELD_OPEN, "SDMMC/PreDLMap/maps/b.bin", GENERIC_READ, 0,
                  STATUS_COPY_FAILED},
        // checksum.ini is a package file too: held exclusively, its copy fails
        // before the checksum stage is reached.
        FaultCase{"ChecksumFileHeldExclusively", HELD_OPEN, "SDMMC/PreDLMap/checksum.ini", GENERIC_READ, 0,
                  STATUS_COPY_FAILED},
        // Held with delete access, which CopyFileW shares and the C run-time's
        // _wfopen does not: the copy succeeds and the checksum stage fails.
        FaultCase{"ChecksumFileHeldForDeletion", HELD_OPEN, "SDMMC/PreDLMap/checksum.ini", GENERIC_READ | DELETE,
                  kShareAll, STATUS_CHECKSUM_FAILED}),
    [](const ::testing::TestParamInfo<FaultCase>& p) { return p.param.name; });

// Win32 enumeration delivers "." and ".." (the host layer does not); the walk
// must pass over them, in empty folders above all, where they are all there is.
TEST_F(DeviceTest, DotEntriesOfWin32SearchesAreSkipped)
{
    MakeFolder("SDMMC/PreDLMap/empty");
    MakeFolder("SDMMC/PreDLMap/outer/inner");
    WriteSealedPackage({{"outer/f.bin", PatternBytes(300, 5)}});
    MakeFolder("MassStorage/stale/empty");

    WIN32_FIND_DATAW record;
    HANDLE search = FindFirstFileW(L"SDMMC\\PreDLMap\\empty\\*.*", &record);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(record.cFileName, L".") << "the platform lists the dot entries first";
    FindClose(search);

    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
    EXPECT_FALSE(Exists("MassStorage/stale"));
}
