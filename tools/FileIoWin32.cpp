// FileIo on Windows: CNG (bcrypt) for SHA-256, Win32 files, FlushFileBuffers
// and FILE_FLAG_NO_BUFFERING for the read-back, GetVolumeInformationW for
// what a volume is.
#include "FileIo.h"

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

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const fs::path& file, ReadMode mode, std::string* why)
{
    Close();
    // Unbuffered reads go to the volume; they take sector-aligned buffers and
    // whole sectors, which ChunkBuffer is (4 KiB aligned, 1 MiB), and give
    // the file's last bytes short at its end.
    const DWORD flags = mode == ReadMode::FromTheVolume ? FILE_FLAG_NO_BUFFERING : FILE_FLAG_SEQUENTIAL_SCAN;
    HANDLE handle = CreateFileW(Native(file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *why = Win32ErrorText(GetLastError());
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(handle);
    return true;
}

long long InputFile::Read(ChunkBuffer* buffer, std::string* why)
{
    HANDLE handle = reinterpret_cast<HANDLE>(handle_);
    size_t got = 0;
    while (got < ChunkBuffer::kBytes) {
        DWORD count = 0;
        if (!ReadFile(handle, buffer->Data() + got, static_cast<DWORD>(ChunkBuffer::kBytes - got), &count, nullptr)) {
            *why = Win32ErrorText(GetLastError());
            return -1;
        }
        if (count == 0) break;
        got += count;
        // A short unbuffered read is the file's end: the next would start
        // off a sector boundary.
        if (count % 4096 != 0) break;
    }
    return static_cast<long long>(got);
}

void InputFile::Close()
{
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    handle_ = -1;
}

OutputFile::~OutputFile()
{
    if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
}

bool OutputFile::Create(const fs::path& file, std::string* why)
{
    HANDLE handle = CreateFileW(Native(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *why = Win32ErrorText(GetLastError());
        return false;
    }
    handle_ = reinterpret_cast<intptr_t>(handle);
    return true;
}

bool OutputFile::Write(const void* bytes, size_t count, std::string* why)
{
    const char* next = static_cast<const char*>(bytes);
    while (count) {
        DWORD written = 0;
        const DWORD piece = count > 0x40000000 ? 0x40000000 : static_cast<DWORD>(count);
        if (!WriteFile(reinterpret_cast<HANDLE>(handle_), next, piece, &written, nullptr)) {
            *why = Win32ErrorText(GetLastError());
            return false;
        }
        next += written;
        count -= written;
    }
    return true;
}

bool OutputFile::Sync(std::string* why)
{
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(handle_))) {
        *why = Win32ErrorText(GetLastError());
        return false;
    }
    return true;
}

bool OutputFile::Close(std::string* why)
{
    HANDLE handle = reinterpret_cast<HANDLE>(handle_);
    handle_ = -1;
    if (!CloseHandle(handle)) {
        *why = Win32ErrorText(GetLastError());
        return false;
    }
    return true;
}

bool SyncFolder(const fs::path&, std::string*)
{
    // FlushFileBuffers on each file writes its directory entry with it.
    return true;
}

bool RenameOver(const fs::path& from, const fs::path& to, std::string* why)
{
    if (MoveFileExW(Native(from).c_str(), Native(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    *why = Win32ErrorText(GetLastError());
    return false;
}

bool RenameToNew(const fs::path& from, const fs::path& to, std::string* why)
{
    if (MoveFileExW(Native(from).c_str(), Native(to).c_str(), MOVEFILE_WRITE_THROUGH)) return true;
    *why = Win32ErrorText(GetLastError());
    return false;
}

SwapOutcome ExchangeFolders(const fs::path&, const fs::path&, std::string*)
{
    // Win32 has no step that exchanges two folders.
    return SwapOutcome::Unsupported;
}

std::string FolderRenameHazard(const fs::path&) { return std::string(); }

VolumeFacts DescribeVolume(const fs::path& folder)
{
    VolumeFacts facts;
    std::error_code error;
    wchar_t root[MAX_PATH];
    if (!GetVolumePathNameW(Native(fs::absolute(folder, error)).c_str(), root, MAX_PATH)) return facts;
    wchar_t label[MAX_PATH + 1] = L"";
    wchar_t system[MAX_PATH + 1] = L"";
    DWORD serial = 0;
    if (!GetVolumeInformationW(root, label, MAX_PATH + 1, &serial, nullptr, nullptr, system, MAX_PATH + 1))
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
