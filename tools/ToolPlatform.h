// What pelk-mapcopy needs of the PC it runs on, and nothing else: each
// platform implements it in one file (ToolPlatformPosix.cpp). The commands
// reach the library's file services through Platform.h and everything
// system-dependent through here.
#ifndef PELK_TOOLS_TOOL_PLATFORM_H
#define PELK_TOOLS_TOOL_PLATFORM_H

#include <cstdint>
#include <filesystem>
#include <functional>
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

// The volume queries write makes, in a table as FileIo.h's file calls: each
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

} // namespace tool

#endif
