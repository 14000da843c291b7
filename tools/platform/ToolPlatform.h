// What pelk-mapcopy needs of the PC it runs on, and nothing else: the one
// seam between the tool and the system. Linux implements it in
// platform/posix/ (dlopen, the host file layer, libcrypto, libmount),
// Windows in platform/win32/ (LoadLibraryW, the Win32 file API, CNG). The
// commands reach the library's file services through Platform.h and
// everything else system-dependent through here; every call is safe on any
// thread, unlike the library's file services.
#ifndef PELK_TOOLS_TOOL_PLATFORM_H
#define PELK_TOOLS_TOOL_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform.h"

namespace tool {

// Device paths and names in the platform's UTF-16 units.
using DeviceString = std::basic_string<WCHAR>;

// The commands, given the program's arguments after its name in UTF-8;
// returns the exit code. Called by the platform's entry point.
int Main(const std::vector<std::string>& arguments);

#if defined(_WIN32)
// For the program's entry: UTF-16 units as UTF-8, and a console that shows it.
std::string Utf8(const wchar_t* text, int units);
void WriteUtf8ToTheConsole();
#endif

// The folder this program was started from.
std::filesystem::path ToolFolder();

// The module "run" loads when none is named: beside the tool in the build
// tree, else in the installed library folder.
std::filesystem::path DefaultModule();

// A loaded module; null when loading failed.
struct Module;
// Loads the module file (never a search of the loader's path); on failure
// sets *why.
Module* LoadModule(const std::filesystem::path& file, std::string* why);
void* FindExport(Module* module, const char* name);
void UnloadModule(Module* module);

// Makes folder the device root for the file services of both the library
// linked here and a module loaded later: afterwards "MassStorage" and
// "SDMMC\PreDLMap" name entries inside it. On failure sets *why.
bool EnterDeviceRoot(const std::filesystem::path& folder, std::string* why);

// The host path, relative to the device root, of a device path below it
// (names as the file services report them). Empty when it has none.
std::filesystem::path HostPathOf(const WCHAR* devicePath);

// The UTF-16 units of a name as the device's volumes compare names: folded
// to upper case per unit, as the device folds them.
DeviceString FoldedName(const WCHAR* name);

// Why the last failed file service or system call failed, in the system's
// own words.
std::string LastErrorText();

// The volume holding a path: free bytes for an unprivileged writer and its
// allocation unit (a FAT volume's cluster). A volume that reports no size
// (some FUSE drivers) is not known: its free space says nothing.
struct VolumeSpace {
    bool known = false;
    uint64_t freeBytes = 0;
    uint64_t clusterBytes = 0;
};
bool FreeSpace(const std::filesystem::path& path, VolumeSpace* space, std::string* why);

// A folder's path as typed, made absolute and normal (on Linux with links
// resolved), without a trailing separator but where the folder is a
// volume's root, which keeps its own: "/", "E:\", "\\?\Volume{...}\",
// "\\server\share\".
std::filesystem::path AbsoluteFolder(const std::string& typed);
// A folder's path made absolute and lexically normal, links left as they
// are, without a trailing separator but at a root ("dir/." is "dir").
std::filesystem::path NormalFolder(const std::filesystem::path& folder);

// The file system of the volume holding a folder: its name as the platform
// gives it (Linux: the mount table's type, "vfat", "tmpfs", "fuse.fusefat";
// Windows: "FAT32", "NTFS", "exFAT") and whether it is FAT (12, 16 or 32),
// the only kind the device reads. On failure sets *why.
struct FileSystemKind {
    bool fat = false;
    std::string name;
};
bool VolumeFileSystem(const std::filesystem::path& folder, FileSystemKind* kind, std::string* why);

// The volume queries write makes, in a table as the file calls below: each
// platform file fills kVolumeCalls, and a test may have g_volumeCalls report
// another volume.
struct VolumeCalls {
    bool (*fileSystem)(const std::filesystem::path& folder, FileSystemKind* kind, std::string* why);
};
extern VolumeCalls g_volumeCalls;
extern const VolumeCalls kVolumeCalls;

// Runs job on this thread with SIGINT and SIGTERM (Ctrl-C, Ctrl-Break and a
// closed console on Windows) caught. When one arrives before job returns,
// interrupted(exitCode) runs on another thread (130 for an interrupt, 143
// for a termination) and the process then exits with exitCode; job's thread
// never goes on past its return. The command's state is what job and
// interrupted hold: the platform keeps them only while job runs.
using Job = std::function<int32_t()>;
using OnSignal = std::function<void(int exitCode)>;
int32_t RunInterruptible(const Job& job, const OnSignal& interrupted);
// The same for a job that runs until it is told to stop (station): the
// first signal calls stop(exitCode) on another thread and the job goes on
// to end as it will; a second one is handled as RunInterruptible handles
// its first. With stop empty, this is RunInterruptible.
int32_t RunStoppable(const Job& job, const OnSignal& stop, const OnSignal& interrupted);

// What an entry is on disk, looked at without opening it or following a
// link, and the file system it is on (0 where the platform cannot tell).
enum class EntryKind { Missing, File, Folder, Link, Fifo, Socket, Device };
EntryKind KindOnDisk(const std::filesystem::path& path, uint64_t* fileSystem);

// True when folder is the root of a file system (a mount point, "/", "E:\").
bool IsFileSystemRoot(const std::filesystem::path& folder);

// A folder held so that its removal shows: on Linux a descriptor of it,
// whose link count drops to 0 when the folder is removed (and whose inode
// no new folder can take meanwhile). Windows cannot hold a folder without
// keeping another program from making a new one of that name, so there
// WatchFolder returns null and FolderRemoved says false.
struct FolderWatch;
FolderWatch* WatchFolder(const std::filesystem::path& folder);
bool FolderRemoved(FolderWatch* watch);
void EndWatch(FolderWatch* watch);

// An exclusive lock on a folder for one pelk-mapcopy at a time, taken on a
// handle of the folder (flock on Linux; on Windows a handle whose share mode
// refuses a second such handle) and released by UnlockFolder or when the
// process ends, however it ends. It writes nothing into the folder.
struct FolderLock;
enum class LockOutcome { Taken, HeldElsewhere, Failed };
// Who holds a lock, as far as the platform tells.
struct LockHolder {
    long pid = 0;        // 0 when it cannot be known
    std::string command; // the pelk-mapcopy command it runs, when known
    bool self = false;   // this process, through another name of the folder
};
// Takes the lock for COMMAND ("write") without waiting. HeldElsewhere:
// *holder says who holds it. Failed: the reason in *why.
LockOutcome LockFolder(const std::filesystem::path& folder, const char* command, FolderLock** lock,
                       LockHolder* holder, std::string* why);
void UnlockFolder(FolderLock* lock);

// A path as one line of valid UTF-8 for messages and logs: what is not UTF-8
// (Linux) or an unpaired surrogate (Windows), and control characters,
// escaped as in EscapedName.
std::string PathText(const std::filesystem::path& path);

// Columns of the terminal that stderr is, or 0 when stderr is no terminal.
// On Windows it also chooses how the calls below move the cursor: escape
// sequences where the console takes them (VT mode), else the console API.
int ErrorTerminalColumns();

// What redrawing lines in place on that terminal takes, in one table as
// VolumeCalls: each platform file fills kTerminalCalls (escape sequences on
// Linux), and a test may put its own in g_terminalCalls. Nothing else
// writes cursor movements.
struct TerminalCalls {
    void (*write)(const std::string& text); // at the cursor, as it is
    void (*lineUp)(size_t lines);           // to the start of the line that many above the cursor's (0: its own)
    void (*clearToEnd)();                   // from the cursor to the end of its line
};
extern TerminalCalls g_terminalCalls;
extern const TerminalCalls kTerminalCalls;

#if defined(_WIN32)
// The console calls behind the Windows terminal calls, in a table a test can
// fill with a console of its own.
struct ConsoleCalls {
    BOOL(WINAPI* getMode)(HANDLE console, DWORD* mode);
    BOOL(WINAPI* setMode)(HANDLE console, DWORD mode);
    BOOL(WINAPI* getInfo)(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info);
    BOOL(WINAPI* setCursor)(HANDLE console, COORD position);
    BOOL(WINAPI* fill)(HANDLE console, WCHAR character, DWORD count, COORD start, DWORD* written);
    BOOL(WINAPI* fillAttribute)(HANDLE console, WORD attribute, DWORD count, COORD start, DWORD* written);
};
extern ConsoleCalls g_consoleCalls;
extern const ConsoleCalls kConsoleCalls;
#endif


// Files: what seal, verify, write and check need beyond the library's file
// services: files read and written in large chunks, SHA-256 from the
// platform's own library, and the calls that make a card give back what it
// holds rather than what a cache kept.

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


// Cards coming and going, for station: on Linux new mounts below watched
// folders (the mount table, posix/MountTable.h) and their release through
// udisks2 or umount2; on Windows removable drives that hold a volume.

struct WatchedVolume {
    std::filesystem::path root; // the card folder: a mount point, a drive's root ("E:\")
    std::string device;         // what is mounted there ("/dev/sdb1", an image, "\\.\E:")
};

// Linux: /media and /run/media, where the desktop mounts removable media;
// Windows: none, every removable drive is watched.
std::vector<std::filesystem::path> DefaultWatchFolders();

struct VolumeWatch;
// Starts watching below the folders (absolute; on Windows there must be
// none). Null, with *why set, when a folder cannot be watched.
VolumeWatch* WatchVolumes(const std::vector<std::filesystem::path>& folders, std::string* why);
// The volumes there now.
std::vector<WatchedVolume> VolumesNow(VolumeWatch* watch);
// Waits until the volumes may have changed (true), or until
// WakeVolumeWatch (false).
bool AwaitVolumeChange(VolumeWatch* watch);
// From any thread.
void WakeVolumeWatch(VolumeWatch* watch);
void EndVolumeWatch(VolumeWatch* watch);

// The volume flushed and released for removal (Linux: udisksctl unmount and
// power-off where udisks2 answers, else umount2; Windows: locked,
// dismounted and ejected). *how says what was done; false with *why set.
// In a table, as the file calls, so that a test can make it fail.
struct ReleaseCalls {
    bool (*release)(const WatchedVolume& volume, std::string* how, std::string* why);
};
extern ReleaseCalls g_releaseCalls;
extern const ReleaseCalls kReleaseCalls;

} // namespace tool

#endif
