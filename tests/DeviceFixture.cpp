#include "DeviceFixture.h"

#include <fstream>
#include <sstream>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <sys/mount.h>
#  include <unistd.h>

#  include <cerrno>
#  include <cstring>

#  include "HostFaults.h"
#endif

fs::path U8Path(const std::string& utf8)
{
    return fs::u8path(utf8);
}

std::string PatternBytes(size_t size, unsigned seed)
{
    // Never all zero, and with bytes on both sides of 0x80.
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>((state >> 16) | 1);
    }
    return bytes;
}

uint16_t ModelByteSum(const std::string& bytes)
{
    uint32_t sum = 0;
    for (unsigned char c : bytes) sum += c;
    return static_cast<uint16_t>(sum);
}

bool IsExcludedNameModel(const std::string& utf8Name)
{
    std::string lower;
    for (char c : utf8Name) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return lower == "checksum.ini" || lower == "predlverno.ini";
}

bool HostSeamAvailable()
{
#if defined(_WIN32)
    return false;
#else
    return true;
#endif
}

#if defined(_WIN32)
// The device root is a folder with a path of its own, so device paths near
// the 260-unit limit exceed MAX_PATH as full paths. The C run-time below
// std::filesystem cannot reach them (it fails, or loops, silently); the
// fixture reaches them through the Win32 API with "\\?\" paths.
namespace {

std::wstring LongPath(const fs::path& path)
{
    std::wstring text = fs::absolute(path).make_preferred().wstring();
    return text.rfind(L"\\\\?\\", 0) == 0 ? text : L"\\\\?\\" + text;
}

bool IsDotName(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

void RemoveLongTree(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL); // read-only left by a test
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW record;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &record);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (!IsDotName(record.cFileName)) RemoveLongTree(path + L"\\" + record.cFileName);
        } while (FindNextFileW(search, &record));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

void MakeLongFolders(const fs::path& path)
{
    const std::wstring full = LongPath(path);
    // Each component after "\\?\C:\" in turn; existing ones fail harmlessly.
    for (size_t at = full.find(L'\\', 7); at != std::wstring::npos; at = full.find(L'\\', at + 1))
        CreateDirectoryW(full.substr(0, at).c_str(), nullptr);
    CreateDirectoryW(full.c_str(), nullptr);
}

std::string ReadLongFile(const std::wstring& path)
{
    std::ifstream in(fs::path(path), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void SnapLongTree(const std::wstring& folder, const std::string& prefix, Snapshot& snapshot)
{
    WIN32_FIND_DATAW record;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &record);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (IsDotName(record.cFileName)) continue;
        const std::wstring path = folder + L"\\" + record.cFileName;
        const std::string key = prefix + fs::path(record.cFileName).u8string();
        if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            snapshot[key] = "D";
            SnapLongTree(path, key + "/", snapshot);
        } else {
            snapshot[key] = "F:" + ReadLongFile(path);
        }
    } while (FindNextFileW(search, &record));
    FindClose(search);
}

} // namespace
#endif

void DeviceTest::SetUp()
{
    static std::atomic<unsigned> counter{0};
    previous_ = fs::current_path();
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    // The process id too: parameterised names can share their first 80
    // characters, and ctest -j runs each case in a process of its own.
#if defined(_WIN32)
    const unsigned long process = GetCurrentProcessId();
#else
    const unsigned long process = static_cast<unsigned long>(getpid());
#endif
    root_ = fs::temp_directory_path() /
            ("pelk-" + name.substr(0, 80) + "-" + std::to_string(process) + "-" + std::to_string(counter++));
#if defined(_WIN32)
    RemoveLongTree(LongPath(root_));
#else
    fs::remove_all(root_);
#endif
    fs::create_directories(root_);
    fs::current_path(root_);
#if !defined(_WIN32)
    HostFaultsReset();
    HostSetDeviceRoot(nullptr);
#endif
}

void DeviceTest::TearDown()
{
#if !defined(_WIN32)
    for (auto mount = mounts_.rbegin(); mount != mounts_.rend(); ++mount) umount2(mount->c_str(), MNT_DETACH);
    mounts_.clear();
    HostFaultsReset();
    EXPECT_EQ(HostOpenFindHandles(), 0);
#endif
    fs::current_path(previous_);
#if defined(_WIN32)
    RemoveLongTree(LongPath(root_));
    return;
#endif
    std::error_code ignored;
    // Read-only files left by a test must not stop the clean-up.
    for (auto it = fs::recursive_directory_iterator(root_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        if (!it->is_symlink(ignored))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(root_, ignored);
}

void DeviceTest::WriteFile(const std::string& relative, const std::string& bytes)
{
    fs::path path = root_ / U8Path(relative);
#if defined(_WIN32)
    MakeLongFolders(path.parent_path());
    std::ofstream out(fs::path(LongPath(path)), std::ios::binary | std::ios::trunc);
#else
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
#endif
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << relative;
}

void DeviceTest::MakeFolder(const std::string& relative)
{
#if defined(_WIN32)
    MakeLongFolders(root_ / U8Path(relative));
#else
    fs::create_directories(root_ / U8Path(relative));
#endif
}

std::string DeviceTest::ReadFile(const std::string& relative) const
{
#if defined(_WIN32)
    return ReadLongFile(LongPath(root_ / U8Path(relative)));
#else
    std::ifstream in(root_ / U8Path(relative), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
#endif
}

bool DeviceTest::Exists(const std::string& relative) const
{
#if defined(_WIN32)
    return GetFileAttributesW(LongPath(root_ / U8Path(relative)).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
    std::error_code ignored;
    return fs::exists(fs::symlink_status(root_ / U8Path(relative), ignored));
#endif
}

bool DeviceTest::IsFolder(const std::string& relative) const
{
#if defined(_WIN32)
    const DWORD attributes = GetFileAttributesW(LongPath(root_ / U8Path(relative)).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    std::error_code ignored;
    return fs::is_directory(fs::symlink_status(root_ / U8Path(relative), ignored));
#endif
}

void DeviceTest::RemoveTree(const std::string& relative)
{
#if defined(_WIN32)
    RemoveLongTree(LongPath(root_ / U8Path(relative)));
#else
    fs::remove_all(root_ / U8Path(relative));
#endif
}

Snapshot DeviceTest::Snap(const std::string& relative) const
{
    Snapshot snapshot;
    fs::path base = root_ / U8Path(relative);
#if defined(_WIN32)
    SnapLongTree(LongPath(base), "", snapshot);
    return snapshot;
#endif
    std::error_code error;
    if (!fs::exists(base, error)) return snapshot;
    for (auto it = fs::recursive_directory_iterator(base, error); it != fs::recursive_directory_iterator();
         it.increment(error)) {
        // Lexically: fs::relative would resolve links (and throw on a loop).
        std::string key = it->path().lexically_relative(base).generic_u8string();
        if (it->is_symlink()) {
            snapshot[key] = "L:" + fs::read_symlink(it->path()).generic_u8string();
        } else if (it->is_directory()) {
            snapshot[key] = "D";
        } else if (it->is_regular_file()) {
            std::ifstream in(it->path(), std::ios::binary);
            std::ostringstream bytes;
            bytes << in.rdbuf();
            snapshot[key] = "F:" + bytes.str();
        } else {
            snapshot[key] = "S"; // FIFO, socket, device
        }
    }
    return snapshot;
}

uint16_t DeviceTest::WritePackage(const std::vector<PackageFile>& files)
{
    MakeFolder("SDMMC/PreDLMap");
    uint16_t sum = 0;
    for (const PackageFile& file : files) {
        WriteFile("SDMMC/PreDLMap/" + file.path, file.bytes);
        std::string name = file.path.substr(file.path.find_last_of('/') + 1);
        if (!IsExcludedNameModel(name)) sum = static_cast<uint16_t>(sum + ModelByteSum(file.bytes));
    }
    return sum;
}

void DeviceTest::WriteChecksumFile(const std::string& text)
{
    WriteFile("SDMMC/PreDLMap/checksum.ini", text);
}

uint16_t DeviceTest::WriteSealedPackage(const std::vector<PackageFile>& files, int offset)
{
    uint16_t sum = WritePackage(files);
    char text[32];
    snprintf(text, sizeof text, "%X\r\n", static_cast<unsigned>(static_cast<uint16_t>(sum + offset)));
    WriteChecksumFile(text);
    return sum;
}

#if !defined(_WIN32)
bool DeviceTest::Mount(const std::string& relative, const std::string& source, const char* type,
                       unsigned long flags, const char* options, std::string* why)
{
    MakeFolder(relative);
    const fs::path point = root_ / U8Path(relative);
    if (mount(source.c_str(), point.c_str(), type, flags, options) != 0) {
        *why = strerror(errno);
        return false;
    }
    mounts_.push_back(point);
    return true;
}
#endif

void DeviceTest::SetReadOnly(const std::string& relative, bool readOnly)
{
    const fs::path path = root_ / U8Path(relative);
#if defined(_WIN32)
    ASSERT_TRUE(SetFileAttributesW(path.c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL));
#else
    const fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    fs::permissions(path, readOnly ? write : fs::perms::owner_write,
                    readOnly ? fs::perm_options::remove : fs::perm_options::add);
#endif
}

int32_t DeviceTest::RunJob()
{
#if !defined(_WIN32)
    const int descriptors = HostOpenDescriptors();
#endif
    int32_t status = PELK_UserMapCopy_CopyFiles();
#if !defined(_WIN32)
    EXPECT_EQ(HostOpenFindHandles(), 0) << "the job left a find handle open";
    EXPECT_EQ(HostOpenDescriptors(), descriptors) << "the job left a stream or folder open";
#endif
    return status;
}
