// The device fixture on the Win32 API. The device root is a folder with a
// path of its own, so device paths near the 260-unit limit exceed MAX_PATH
// as full paths. The C run-time below std::filesystem cannot reach them (it
// fails, or loops, silently); the fixture reaches them through the Win32 API
// with "\\?\" paths.
#include "FixturePlatform.h"

#include <windows.h>

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

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

std::string ReadLongFile(const std::wstring& path)
{
    std::ifstream in(fs::path(path), std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void SnapLongTree(const std::wstring& folder, const std::string& prefix, Snapshot* snapshot)
{
    WIN32_FIND_DATAW record;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &record);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if (IsDotName(record.cFileName)) continue;
        const std::wstring path = folder + L"\\" + record.cFileName;
        const std::string key = prefix + fs::path(record.cFileName).u8string();
        if (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            (*snapshot)[key] = "D";
            SnapLongTree(path, key + "/", snapshot);
        } else {
            (*snapshot)[key] = "F:" + ReadLongFile(path);
        }
    } while (FindNextFileW(search, &record));
    FindClose(search);
}

} // namespace

namespace fixture {

unsigned long ProcessId() { return GetCurrentProcessId(); }

void RemoveTree(const fs::path& path) { RemoveLongTree(LongPath(path)); }

void MakeFolders(const fs::path& path)
{
    const std::wstring full = LongPath(path);
    // Each component after "\\?\C:\" in turn; existing ones fail harmlessly.
    for (size_t at = full.find(L'\\', 7); at != std::wstring::npos; at = full.find(L'\\', at + 1))
        CreateDirectoryW(full.substr(0, at).c_str(), nullptr);
    CreateDirectoryW(full.c_str(), nullptr);
}

bool WriteBytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(fs::path(LongPath(path)), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

std::string ReadBytes(const fs::path& path) { return ReadLongFile(LongPath(path)); }

bool Exists(const fs::path& path) { return GetFileAttributesW(LongPath(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsFolder(const fs::path& path)
{
    const DWORD attributes = GetFileAttributesW(LongPath(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void SnapTree(const fs::path& base, Snapshot* snapshot) { SnapLongTree(LongPath(base), "", snapshot); }

bool SetReadOnly(const fs::path& path, bool readOnly)
{
    return SetFileAttributesW(LongPath(path).c_str(), readOnly ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL);
}

void BeginTest() {}
void EndTest() {}
int OpenSearches() { return -1; } // the system's own, not ours to count
int OpenDescriptors() { return -1; }

} // namespace fixture

bool HostSeamAvailable() { return false; }

void DeviceTest::UnmountQuietly(const fs::path&) {}
