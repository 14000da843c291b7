// What seal, verify and write need of the PC's files beyond the library's
// file services: files read and written in large chunks, SHA-256 from the
// platform's own library, and the calls that make a card give back what it
// holds rather than what a cache kept. Implemented for Linux (libcrypto,
// POSIX) in FileIoPosix.cpp and for Windows (CNG, Win32) in FileIoWin32.cpp.
// Every call is safe on any thread, unlike the library's file services.
#ifndef PELK_TOOLS_FILE_IO_H
#define PELK_TOOLS_FILE_IO_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tool {

// A SHA-256 in progress: libcrypto's EVP on Linux, CNG (BCryptCreateHash) on
// Windows.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Add(const void* bytes, size_t count);
    // The digest as 64 lower-case hexadecimal digits, or empty when the
    // platform's library failed; the hash is over after it.
    std::string Finish();

private:
    struct State;
    State* state_;
};

// The SHA-256 of bytes in memory.
std::string Sha256Of(const std::string& bytes);

#if defined(_WIN32)
// The system's words for a Win32 error code (FormatMessageW), in UTF-8.
std::string Win32ErrorText(unsigned long error);
// A path made absolute by the system (GetFullPathNameW), which knows
// "\\server\share" and "\\?\" paths; std::filesystem here takes them for paths
// on the current drive. Empty on failure (GetLastError says why).
std::wstring FullPath(const std::filesystem::path& path);
// The root of the volume holding a path (GetVolumePathNameW), ending in a
// backslash, as GetVolumeInformationW and GetDiskFreeSpaceW take it; empty
// on failure (GetLastError says why).
std::wstring VolumeRootOf(const std::filesystem::path& path);
#endif

// A buffer for chunked reads and writes, aligned as unbuffered reads on
// Windows need (the address and the size whole sectors).
class ChunkBuffer {
public:
    static constexpr size_t kBytes = 1024 * 1024;
    ChunkBuffer() : raw_(new unsigned char[kBytes + kAlignment])
    {
        const uintptr_t address = reinterpret_cast<uintptr_t>(raw_.get());
        data_ = raw_.get() + (kAlignment - address % kAlignment) % kAlignment;
    }
    unsigned char* Data() { return data_; }
    const uint32_t* Words() const { return reinterpret_cast<const uint32_t*>(data_); }

private:
    static constexpr size_t kAlignment = 4096;
    std::unique_ptr<unsigned char[]> raw_;
    unsigned char* data_;
};

// The tool's file operations, in one table as the host layer's HostCalls:
// each platform file fills kFileCalls with its own, g_fileCalls starts as a
// copy, and a test puts a wrapper in an entry to fail, count or stop at a
// call. Every entry returns 0 or the system's error code (errno on Linux,
// GetLastError() on Windows). A folder argument of kNoFolder takes the name
// as a whole path; any other is an open folder, and the name is relative to
// it: on Linux the *at() calls on its descriptor, so work stays inside the
// folder that was opened even if its path comes to name another.
using Handle = intptr_t;
constexpr Handle kNoHandle = -1;
constexpr Handle kNoFolder = -2;

enum class OpenAs {
    ReadCached,
    // From the volume, not from the system's cache of it: Linux drops the
    // file's clean cached pages (posix_fadvise DONTNEED) before reading;
    // Windows opens it with FILE_FLAG_NO_BUFFERING.
    ReadFromVolume,
    CreateNew, // fails when the name exists, so nothing is overwritten
    Folder,
};
enum class RenameAs { NoReplace, Replace, Exchange };

// An entry as its folder lists it; links are never followed.
enum class Kind { File, Folder, Other };
struct EntryFacts {
    Kind kind = Kind::Other;
    uint64_t bytes = 0;
};
struct Listed {
    std::filesystem::path name;
    EntryFacts facts;
};
// What tells one open file or folder from every other: volume and file id.
struct FileId {
    uint64_t volume = 0;
    uint64_t file = 0;
    bool operator==(const FileId& other) const { return volume == other.volume && file == other.file; }
};

struct FileCalls {
    int (*open)(Handle folder, const std::filesystem::path& name, OpenAs as, Handle* opened);
    // At most count bytes; *got 0 at the end.
    int (*read)(Handle file, void* bytes, size_t count, size_t* got);
    int (*write)(Handle file, const void* bytes, size_t count, size_t* written);
    // A file's data, or a folder's entries, on the volume (fsync,
    // FlushFileBuffers). A folder whose driver takes no flush of its own
    // flushes its whole volume instead.
    int (*sync)(Handle handle);
    // Every write to the volume holding the folder, in one flush, where one
    // reaches the volume (Linux syncfs); IsUnsupported where none does (a
    // FUSE driver takes no such flush; Windows needs privileges for it).
    int (*syncVolume)(Handle folder);
    int (*close)(Handle handle);
    int (*makeFolder)(Handle folder, const std::filesystem::path& name);
    // Within one folder. Exchange swaps two entries in one step, where the
    // platform and the volume have one (IsUnsupported otherwise).
    int (*rename)(Handle folder, const std::filesystem::path& from, const std::filesystem::path& to, RenameAs as);
    int (*remove)(Handle folder, const std::filesystem::path& name, bool isFolder);
    int (*list)(Handle folder, std::vector<Listed>* entries); // an open folder, without "." and ".."
    // The entry itself (an empty name: the folder); IsMissing when none.
    int (*facts)(Handle folder, const std::filesystem::path& name, EntryFacts* facts);
    int (*identify)(Handle handle, FileId* id);
};
extern FileCalls g_fileCalls;
extern const FileCalls kFileCalls;

std::string ErrorText(int error);
bool IsMissing(int error);     // no such file or folder
bool IsUnsupported(int error); // the volume or platform has no such step
bool IsDamaged(int error);     // the volume failed a read or went read-only
// The error's text, and for damage what to do about it.
std::string FailureText(int error);
// False with *why = FailureText(error) for an error.
bool Checked(int error, std::string* why);

// A handle closed when it goes out of scope.
class HeldHandle {
public:
    HeldHandle() = default;
    explicit HeldHandle(Handle handle) : handle_(handle) {}
    ~HeldHandle() { Close(); }
    HeldHandle(const HeldHandle&) = delete;
    HeldHandle& operator=(const HeldHandle&) = delete;
    Handle Get() const { return handle_; }
    Handle* Out() { Close(); return &handle_; }
    void Close()
    {
        if (handle_ != kNoHandle) g_fileCalls.close(handle_);
        handle_ = kNoHandle;
    }

private:
    Handle handle_ = kNoHandle;
};

enum class ReadMode { Cached, FromTheVolume };

class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool Open(const std::filesystem::path& file, ReadMode mode, std::string* why)
    {
        return Open(kNoFolder, file, mode, why);
    }
    bool Open(Handle folder, const std::filesystem::path& file, ReadMode mode, std::string* why);
    // Up to ChunkBuffer::kBytes into the buffer: the bytes read, 0 at the
    // end, -1 on an error (the reason in *why).
    long long Read(ChunkBuffer* buffer, std::string* why);
    void Close();

private:
    Handle handle_ = kNoHandle;
};

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile(); // closes; a file not closed by Close is left as it is
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // A new file: fails when the name exists, so nothing is overwritten.
    bool Create(const std::filesystem::path& file, std::string* why) { return Create(kNoFolder, file, why); }
    bool Create(Handle folder, const std::filesystem::path& file, std::string* why);
    bool Write(const void* bytes, size_t count, std::string* why);
    // Flushes the file to the volume and lets the system forget the cached
    // copy, so the read-back reads the volume.
    bool Sync(std::string* why);
    bool Close(std::string* why);

private:
    void Drop(); // the platform's own: forgets the cached copy
    Handle handle_ = kNoHandle;
};

// Flushes a folder's entries to the volume. On failure sets *why.
bool SyncFolder(const std::filesystem::path& folder, std::string* why);
bool SyncFolder(Handle folder, const std::filesystem::path& name, std::string* why);

// Renames a file over another, in one step where the platform has one.
bool RenameOver(const std::filesystem::path& from, const std::filesystem::path& to, std::string* why);

// The volume's driver where renaming a folder that holds files is known to
// lose them ("fusefat"); empty elsewhere.
std::string FolderRenameHazard(const std::filesystem::path& folder);

// What the platform tells of the volume holding a folder; empty where it
// tells nothing.
struct VolumeFacts {
    std::string label;
    std::string serial;
    std::string fileSystem; // "FAT32", "FAT16", "vfat", "tmpfs", ...
};
VolumeFacts DescribeVolume(const std::filesystem::path& folder);

// Whether stdout is a terminal.
bool OutputIsTerminal();

} // namespace tool

#endif
