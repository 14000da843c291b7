// The platform's files on Windows: CNG (bcrypt) for SHA-256, Win32 files, FlushFileBuffers
// and FILE_FLAG_NO_BUFFERING for the read-back, GetVolumeInformationW for
// what a volume is.
#include "ToolPlatform.h"

#include <windows.h>
#include <bcrypt.h>
#include <io.h>

#include <cstdio>
#include <mutex>
#include <vector>

namespace fs = std::filesystem;

namespace tool {

namespace {


std::wstring Native(const fs::path& path) { return fs::path(path).make_preferred().wstring(); }

// Opened once for the process; CNG's providers are safe on any thread.
BCRYPT_ALG_HANDLE Sha256Provider()
{
    static BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE opened = nullptr;
        if (BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA256_ALGORITHM, nullptr, 0) < 0) return BCRYPT_ALG_HANDLE();
        return opened;
    }();
    return provider;
}

} // namespace

std::string Win32ErrorText(unsigned long error)
{
    wchar_t* text = nullptr;
    const DWORD units =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = units ? std::wstring(text, units) : std::wstring();
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L' ' ||
                                message.back() == L'.'))
        message.pop_back();
    if (message.empty()) return "error " + std::to_string(error);
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, message.data(), static_cast<int>(message.size()), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, message.data(), static_cast<int>(message.size()), &utf8[0], bytes, nullptr,
                            nullptr);
    return utf8;
}

std::wstring FullPath(const fs::path& path)
{
    const std::wstring typed = Native(path);
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD units = GetFullPathNameW(typed.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
        if (units == 0) return std::wstring();
        if (units < full.size()) {
            full.resize(units);
            return full;
        }
        full.resize(units);
    }
}

std::wstring VolumeRootOf(const fs::path& path)
{
    const std::wstring full = FullPath(path);
    std::wstring root(full.size() + 2, L'\0');
    if (full.empty() || !GetVolumePathNameW(full.c_str(), &root[0], static_cast<DWORD>(root.size())))
        return std::wstring();
    root.resize(wcslen(root.c_str()));
    // Wine leaves the backslash off a volume mounted inside a drive.
    if (root.empty() || root.back() != L'\\') root += L'\\';
    return root;
}

struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    std::vector<UCHAR> object;
    bool good = false;
};

Sha256::Sha256() : state_(new State)
{
    BCRYPT_ALG_HANDLE provider = Sha256Provider();
    DWORD objectBytes = 0;
    ULONG got = 0;
    if (!provider ||
        BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&objectBytes), sizeof objectBytes,
                          &got, 0) < 0)
        return;
    state_->object.resize(objectBytes);
    state_->good = BCryptCreateHash(provider, &state_->hash, state_->object.data(), objectBytes, nullptr, 0, 0) >= 0;
}

Sha256::~Sha256()
{
    if (state_->hash) BCryptDestroyHash(state_->hash);
    delete state_;
}

void Sha256::Add(const void* bytes, size_t count)
{
    const UCHAR* next = static_cast<const UCHAR*>(bytes);
    while (state_->good && count) {
        const ULONG piece = count > 0x40000000 ? 0x40000000 : static_cast<ULONG>(count);
        state_->good = BCryptHashData(state_->hash, const_cast<PUCHAR>(next), piece, 0) >= 0;
        next += piece;
        count -= piece;
    }
}

std::string Sha256::Finish()
{
    UCHAR digest[32];
    const bool good = state_->good && BCryptFinishHash(state_->hash, digest, sizeof digest, 0) >= 0;
    state_->good = false;
    if (!good) return std::string();
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (UCHAR byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

std::string Sha256Of(const std::string& bytes)
{
    Sha256 hash;
    hash.Add(bytes.data(), bytes.size());
    return hash.Finish();
}

namespace {

// Every handle the table gives out: the system's handle and, for a folder,
// its path, which the names of the calls on it are joined to. Win32 has no
// calls relative to a folder's handle; the card is checked to be the volume
// and folder it was by its identity instead.
struct Held {
    HANDLE handle;
    std::wstring path;
};

Held* Of(Handle handle) { return reinterpret_cast<Held*>(handle); }

// A folder's path and a name in it, one separator between them: a volume's
// root ("E:\", "\\?\Volume{...}\") ends in its own.
std::wstring Joined(const std::wstring& folder, const std::wstring& name)
{
    return !folder.empty() && folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

std::wstring PathAt(Handle folder, const fs::path& name)
{
    const std::wstring relative = fs::path(name).make_preferred().wstring();
    if (folder == kNoFolder) return relative;
    if (relative.empty()) return Of(folder)->path;
    return Joined(Of(folder)->path, relative);
}

int Failed()
{
    const DWORD error = GetLastError();
    return error ? static_cast<int>(error) : ERROR_GEN_FAILURE;
}

int OpenEntry(Handle folder, const fs::path& name, OpenAs as, Handle* opened)
{
    const std::wstring path = PathAt(folder, name);
    DWORD access = GENERIC_READ;
    DWORD share = FILE_SHARE_READ;
    DWORD disposition = OPEN_EXISTING;
    DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    switch (as) {
    case OpenAs::ReadCached: flags |= FILE_FLAG_SEQUENTIAL_SCAN; break;
    // Unbuffered reads go to the volume; they take sector-aligned buffers
    // and whole sectors, which ChunkBuffer is (4 KiB aligned, 1 MiB).
    case OpenAs::ReadFromVolume: flags |= FILE_FLAG_NO_BUFFERING; break;
    case OpenAs::CreateNew:
        access = GENERIC_WRITE;
        share = 0;
        disposition = CREATE_NEW;
        flags |= FILE_FLAG_SEQUENTIAL_SCAN;
        break;
    case OpenAs::Folder:
        // Shares everything: the card's lock holds the right to add entries.
        // A whole path is opened through what it names, as the lock opens
        // it: a volume mounted on a folder is that volume's root. A name in
        // an open folder is the entry itself.
        access = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
        share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        flags = FILE_FLAG_BACKUP_SEMANTICS | (folder == kNoFolder ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
        break;
    }
    HANDLE handle = CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failed();
    *opened = reinterpret_cast<Handle>(new Held{handle, as == OpenAs::Folder ? path : std::wstring()});
    return 0;
}

int ReadSome(Handle file, void* bytes, size_t count, size_t* got)
{
    DWORD read = 0;
    const DWORD piece = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    if (!ReadFile(Of(file)->handle, bytes, piece, &read, nullptr)) return Failed();
    *got = read;
    return 0;
}

int WriteSome(Handle file, const void* bytes, size_t count, size_t* written)
{
    DWORD wrote = 0;
    const DWORD piece = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
    if (!WriteFile(Of(file)->handle, bytes, piece, &wrote, nullptr)) return Failed();
    *written = wrote;
    return 0;
}

int SyncEntry(Handle handle)
{
    // A folder's entries: Windows writes a renamed entry through
    // (MOVEFILE_WRITE_THROUGH) and a created file's with its flush; a card
    // on Windows has no write cache by default (quick removal), and no
    // unprivileged handle flushes a folder or a volume.
    if (!Of(handle)->path.empty()) return 0;
    return FlushFileBuffers(Of(handle)->handle) ? 0 : Failed();
}

int SyncVolume(Handle) { return ERROR_NOT_SUPPORTED; }

int CloseEntry(Handle handle)
{
    Held* held = Of(handle);
    const bool closed = CloseHandle(held->handle) != 0;
    const int error = closed ? 0 : Failed();
    delete held;
    return error;
}

int MakeFolder(Handle folder, const fs::path& name)
{
    return CreateDirectoryW(PathAt(folder, name).c_str(), nullptr) ? 0 : Failed();
}

int RenameEntry(Handle folder, const fs::path& from, const fs::path& to, RenameAs as)
{
    // Win32 has no step that exchanges two entries.
    if (as == RenameAs::Exchange) return ERROR_NOT_SUPPORTED;
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (as == RenameAs::Replace ? MOVEFILE_REPLACE_EXISTING : 0);
    return MoveFileExW(PathAt(folder, from).c_str(), PathAt(folder, to).c_str(), flags) ? 0 : Failed();
}

int RemoveEntry(Handle folder, const fs::path& name, bool isFolder)
{
    const std::wstring path = PathAt(folder, name);
    return (isFolder ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str())) ? 0 : Failed();
}

EntryFacts FactsOf(DWORD attributes, DWORD high, DWORD low)
{
    EntryFacts facts;
    facts.kind = attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE) ? Kind::Other
                 : attributes & FILE_ATTRIBUTE_DIRECTORY                            ? Kind::Folder
                                                                                    : Kind::File;
    facts.bytes = facts.kind == Kind::File ? (static_cast<uint64_t>(high) << 32 | low) : 0;
    return facts;
}

int ListFolder(Handle folder, std::vector<Listed>* entries)
{
    entries->clear();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(Joined(Of(folder)->path, L"*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : Failed();
    do {
        if (wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0) continue;
        entries->push_back(
            {fs::path(found.cFileName), FactsOf(found.dwFileAttributes, found.nFileSizeHigh, found.nFileSizeLow)});
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    return error == ERROR_NO_MORE_FILES ? 0 : static_cast<int>(error);
}

int EntryFactsOf(Handle folder, const fs::path& name, EntryFacts* facts)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(PathAt(folder, name).c_str(), GetFileExInfoStandard, &data)) return Failed();
    *facts = FactsOf(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow);
    return 0;
}

int Identify(Handle handle, FileId* id)
{
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(Of(handle)->handle, &information)) return Failed();
    id->volume = information.dwVolumeSerialNumber;
    id->file = static_cast<uint64_t>(information.nFileIndexHigh) << 32 | information.nFileIndexLow;
    return 0;
}

} // namespace

const FileCalls kFileCalls = {OpenEntry,  ReadSome,    WriteSome,   SyncEntry,  SyncVolume,   CloseEntry,
                              MakeFolder, RenameEntry, RemoveEntry, ListFolder, EntryFactsOf, Identify};
FileCalls g_fileCalls = kFileCalls;

std::string ErrorText(int error) { return Win32ErrorText(static_cast<unsigned long>(error)); }
bool IsMissing(int error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }
bool IsUnsupported(int error) { return error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION; }
bool IsDamaged(int error)
{
    return error == ERROR_IO_DEVICE || error == ERROR_FILE_CORRUPT || error == ERROR_DISK_CORRUPT || error == ERROR_CRC ||
           error == ERROR_WRITE_PROTECT;
}

void OutputFile::Drop() {}

std::string FolderRenameHazard(const fs::path&) { return std::string(); }

VolumeFacts DescribeVolume(const fs::path& folder)
{
    VolumeFacts facts;
    const std::wstring root = VolumeRootOf(folder);
    wchar_t label[MAX_PATH + 1] = L"";
    wchar_t system[MAX_PATH + 1] = L"";
    DWORD serial = 0;
    if (root.empty() ||
        !GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, &serial, nullptr, nullptr, system, MAX_PATH + 1))
        return facts;
    facts.label = fs::path(label).u8string();
    facts.fileSystem = fs::path(system).u8string();
    char text[16];
    snprintf(text, sizeof text, "%04lX-%04lX", static_cast<unsigned long>(serial >> 16),
             static_cast<unsigned long>(serial & 0xFFFF));
    facts.serial = text;
    return facts;
}

bool OutputIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

} // namespace tool
