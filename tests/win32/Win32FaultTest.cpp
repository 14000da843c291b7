// The job on the real Win32 file API, with faults made the platform's own
// way: the read-only attribute and handles the test holds open with chosen
// share modes. Each fault is then lifted and the same device must install,
// so the code seen came from that fault and left nothing behind.
#include "DeviceFixture.h"

#include <windows.h>

#include <cstring>

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

// ---- a listing that fails, put into the module's own import table ---------

namespace {

struct ListingFault {
    const char* name;
    bool search;          // FindFirstFileW fails on the pattern; else FindNextFileW, after delivered entries
    const wchar_t* pattern;
    unsigned delivered;   // "." and ".." count: Win32 delivers them first
    int32_t status;
};

const ListingFault* g_listingFault = nullptr;
HANDLE g_faultedSearch = INVALID_HANDLE_VALUE;
unsigned g_entriesDelivered = 0;
HANDLE(WINAPI* g_realFindFirst)(LPCWSTR, LPWIN32_FIND_DATAW) = nullptr;
BOOL(WINAPI* g_realFindNext)(HANDLE, LPWIN32_FIND_DATAW) = nullptr;

HANDLE WINAPI FaultedFindFirst(LPCWSTR pattern, LPWIN32_FIND_DATAW record)
{
    const bool hit = _wcsicmp(pattern, g_listingFault->pattern) == 0;
    if (hit && g_listingFault->search) {
        SetLastError(ERROR_IO_DEVICE);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE search = g_realFindFirst(pattern, record);
    if (hit) {
        g_faultedSearch = search;
        g_entriesDelivered = 1;
    }
    return search;
}

BOOL WINAPI FaultedFindNext(HANDLE search, LPWIN32_FIND_DATAW record)
{
    if (search == g_faultedSearch && g_entriesDelivered++ >= g_listingFault->delivered) {
        SetLastError(ERROR_IO_DEVICE);
        return FALSE;
    }
    return g_realFindNext(search, record);
}

// Points the module's import of function at replacement; the one it had, or
// null when the module does not import it by name.
void* ReplaceImport(HMODULE module, const char* function, void* replacement)
{
    BYTE* base = reinterpret_cast<BYTE*>(module);
    const IMAGE_NT_HEADERS* headers =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress); dll->Name; ++dll) {
        auto* name = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; name->u1.AddressOfData; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
            DWORD protection;
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &protection);
            void* previous = reinterpret_cast<void*>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            return previous;
        }
    }
    return nullptr;
}

class ListingFaultTest : public DeviceTest, public ::testing::WithParamInterface<ListingFault> {};

} // namespace

// The module as shipped, its searches failing as a failing card's would: a
// listing that fails is never the end of a folder, and once the module is
// loaded afresh the device installs.
TEST_P(ListingFaultTest, FailedListingGivesItsCodeNeverSuccess)
{
    WriteSealedPackage({{"a.bin", PatternBytes(1500, 3)}, {"maps/b.bin", PatternBytes(700, 4)}, {"z.bin", "z"}});
    WriteFile("MassStorage/old.bin", "old");
    WriteFile("MassStorage/sub/old.bin", "old");
    WriteFile("MassStorage/sub/older.bin", "older");

    HMODULE module = LoadLibraryW(L"PELK_UserMapCopy.dll");
    ASSERT_NE(module, nullptr) << GetLastError();
    g_listingFault = &GetParam();
    g_faultedSearch = INVALID_HANDLE_VALUE;
    g_realFindFirst = reinterpret_cast<decltype(g_realFindFirst)>(
        ReplaceImport(module, "FindFirstFileW", reinterpret_cast<void*>(FaultedFindFirst)));
    g_realFindNext = reinterpret_cast<decltype(g_realFindNext)>(
        ReplaceImport(module, "FindNextFileW", reinterpret_cast<void*>(FaultedFindNext)));
    ASSERT_NE(g_realFindFirst, nullptr);
    ASSERT_NE(g_realFindNext, nullptr);
    auto copyFiles = reinterpret_cast<int32_t(WINAPI*)(void)>(
        reinterpret_cast<void*>(GetProcAddress(module, "PELK_UserMapCopy_CopyFiles")));
    ASSERT_NE(copyFiles, nullptr);
    EXPECT_EQ(copyFiles(), GetParam().status);
    FreeLibrary(module);

    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}

INSTANTIATE_TEST_SUITE_P(
    Win32, ListingFaultTest,
    ::testing::Values(ListingFault{"TargetSearch", true, L"MassStorage\\*.*", 0, STATUS_DELETE_FAILED},
                      ListingFault{"TargetListingPartWay", false, L"MassStorage\\*.*", 3, STATUS_DELETE_FAILED},
                      ListingFault{"StaleFolderListingPartWay", false, L"MassStorage\\sub\\*.*", 3,
                                   STATUS_REMOVE_DIR_FAILED},
                      ListingFault{"PackageFolderSearch", true, L"SDMMC\\PreDLMap\\maps\\*.*", 0, STATUS_COPY_FAILED},
                      ListingFault{"PackageListingPartWay", false, L"SDMMC\\PreDLMap\\*.*", 3, STATUS_COPY_FAILED}),
    [](const ::testing::TestParamInfo<ListingFault>& p) { return p.param.name; });
