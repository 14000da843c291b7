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

enum class ReadMode {
    Cached,
    // From the volume, not from the system's cache of it: Linux drops the
    // file's clean cached pages (posix_fadvise DONTNEED) before reading;
    // Windows opens it with FILE_FLAG_NO_BUFFERING.
    FromTheVolume,
};

class InputFile {
public:
    InputFile() = default;
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    bool Open(const std::filesystem::path& file, ReadMode mode, std::string* why);
    // Up to ChunkBuffer::kBytes into the buffer: the bytes read, 0 at the
    // end, -1 on an error (the reason in *why).
    long long Read(ChunkBuffer* buffer, std::string* why);
    void Close();

private:
    intptr_t handle_ = -1;
};

class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile(); // closes; a file not closed by Close is left as it is
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // A new file: fails when the name exists, so nothing is overwritten.
    bool Create(const std::filesystem::path& file, std::string* why);
    bool Write(const void* bytes, size_t count, std::string* why);
    // Flushes the file to the volume (fsync, FlushFileBuffers) and lets the
    // system forget the cached copy, so the read-back reads the volume.
    bool Sync(std::string* why);
    bool Close(std::string* why);

private:
    intptr_t handle_ = -1;
};

// Flushes a folder's entries to the volume (Linux: fsync of the folder;
// Windows flushes entries with their files). On failure sets *why.
bool SyncFolder(const std::filesystem::path& folder, std::string* why);

// Renames a file over another, in one step where the platform has one.
bool RenameOver(const std::filesystem::path& from, const std::filesystem::path& to, std::string* why);

// Renames an entry to a name that must not exist yet.
bool RenameToNew(const std::filesystem::path& from, const std::filesystem::path& to, std::string* why);

// Exchanges two folders in one step (Linux: renameat2 RENAME_EXCHANGE).
// Unsupported where the platform or the volume has no such step.
enum class SwapOutcome { Swapped, Unsupported, Failed };
SwapOutcome ExchangeFolders(const std::filesystem::path& first, const std::filesystem::path& second,
                            std::string* why);

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
