// pelk-mapcopy on Windows: LoadLibraryW, SetCurrentDirectoryW, the console,
// and the program's entry, which takes the command line as UTF-16 and hands
// it on as UTF-8.
#include "ToolPlatform.h"

#include "Names.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace fs = std::filesystem;

namespace tool {

struct Module {
    HMODULE handle;
};

std::string Utf8(const wchar_t* text, int units)
{
    if (units == 0) return std::string();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text, units, &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

static UINT s_consoleOutputPage = 0;

static void RestoreConsoleOutputPage() { SetConsoleOutputCP(s_consoleOutputPage); }

// The tool writes UTF-8; a console shows it as such while the tool runs.
void WriteUtf8ToTheConsole()
{
    s_consoleOutputPage = GetConsoleOutputCP();
    if (s_consoleOutputPage != 0 && s_consoleOutputPage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        atexit(RestoreConsoleOutputPage);
}


fs::path ToolFolder()
{
    std::wstring self(MAX_PATH, L'\0');
    for (;;) {
        const DWORD units = GetModuleFileNameW(nullptr, &self[0], static_cast<DWORD>(self.size()));
        if (units == 0) return fs::path(".");
        if (units < self.size()) {
            self.resize(units);
            return fs::path(self).parent_path();
        }
        self.resize(self.size() * 2);
    }
}

fs::path DefaultModule() { return ToolFolder() / "PELK_UserMapCopy.dll"; }

Module* LoadModule(const fs::path& file, std::string* why)
{
    // An absolute path is loaded as it stands; only the module's own imports
    // (the system's DLLs) are searched for.
    const fs::path absolute = fs::absolute(file).make_preferred();
    HMODULE handle = LoadLibraryW(absolute.c_str());
    if (!handle) {
        *why = Win32ErrorText(GetLastError());
        return nullptr;
    }
    return new Module{handle};
}

void* FindExport(Module* module, const char* name)
{
    return reinterpret_cast<void*>(GetProcAddress(module->handle, name));
}

void UnloadModule(Module* module)
{
    FreeLibrary(module->handle);
    delete module;
}

bool EnterDeviceRoot(const fs::path& folder, std::string* why)
{
    // The library's device paths are relative: the current folder is the
    // device root, for the library linked here and for the module alike.
    if (!SetCurrentDirectoryW(fs::path(folder).make_preferred().c_str())) {
        *why = Win32ErrorText(GetLastError());
        return false;
    }
    return true;
}

fs::path HostPathOf(const WCHAR* devicePath)
{
    if (devicePath[0] == 0) return fs::path();
    return fs::path(devicePath);
}

DeviceString FoldedName(const WCHAR* name)
{
    // One unit at a time, as the device's volumes compare names: a surrogate
    // stays as it is, and no character changes into two.
    DeviceString folded(name);
    for (WCHAR& unit : folded) {
        if (unit >= 0xD800 && unit <= 0xDFFF) continue;
        WCHAR upper = unit;
        CharUpperBuffW(&upper, 1);
        unit = upper;
    }
    return folded;
}

std::string LastErrorText() { return Win32ErrorText(GetLastError()); }

bool FreeSpace(const fs::path& path, VolumeSpace* space, std::string* why)
{
    const std::wstring folder = fs::path(path).make_preferred().wstring();
    ULARGE_INTEGER available;
    ULARGE_INTEGER total;
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, &total, nullptr)) {
        *why = Win32ErrorText(GetLastError());
        return false;
    }
    space->known = total.QuadPart != 0;
    space->freeBytes = available.QuadPart;
    // The allocation unit is asked of the volume's root.
    const std::wstring root = VolumeRootOf(path);
    DWORD sectorsPerCluster = 0;
    DWORD bytesPerSector = 0;
    DWORD freeClusters = 0;
    DWORD clusters = 0;
    if (!root.empty() && GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters))
        space->clusterBytes = static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector;
    return true;
}

namespace {

// A volume's root by its form, its trailing backslash left off: "E:",
// "\\server\share", "\\?\E:", "\\?\Volume{...}", "\\?\UNC\server\share".
bool NamesAVolume(const std::wstring& path)
{
    size_t parts = 0; // the names after the prefix that such a root has
    std::wstring rest;
    if (path.rfind(L"\\\\?\\", 0) == 0 || path.rfind(L"\\\\.\\", 0) == 0) {
        rest = path.substr(4);
        parts = rest.rfind(L"UNC\\", 0) == 0 ? 3 : 1;
    } else if (path.rfind(L"\\\\", 0) == 0) {
        rest = path.substr(2);
        parts = 2;
    } else {
        return path.size() == 2 && path[1] == L':';
    }
    return !rest.empty() && static_cast<size_t>(std::count(rest.begin(), rest.end(), L'\\')) == parts - 1;
}

} // namespace

fs::path AbsoluteFolder(const std::string& typed)
{
    std::wstring full = FullPath(fs::u8path(typed));
    if (full.empty()) return fs::u8path(typed).make_preferred();
    while (!full.empty() && full.back() == L'\\') full.pop_back();
    // A volume's root keeps its backslash: "E:" alone is the current folder
    // on E:, and "\\?\Volume{...}" the volume itself, not its root folder.
    if (NamesAVolume(full)) full += L'\\';
    return fs::path(full);
}

bool VolumeFileSystem(const fs::path& folder, FileSystemKind* kind, std::string* why)
{
    const std::wstring root = VolumeRootOf(folder);
    wchar_t system[MAX_PATH + 1] = L"";
    // The name alone: Wine tells no label or serial of a drive that is a
    // folder of the host, and fails the whole call when asked for them.
    if (root.empty() ||
        !GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH + 1)) {
        *why = Win32ErrorText(GetLastError());
        return false;
    }
    kind->name = Utf8(system, static_cast<int>(wcslen(system)));
    kind->fat = kind->name == "FAT" || kind->name == "FAT12" || kind->name == "FAT16" || kind->name == "FAT32";
    return true;
}

const VolumeCalls kVolumeCalls = {VolumeFileSystem};
VolumeCalls g_volumeCalls = kVolumeCalls;

namespace {

// The console's handler takes no argument: the one process-wide pointer to
// what the running job's interrupt calls.
struct Interruption {
    OnSignal stop;
    const OnSignal* interrupted = nullptr;
    bool jobDone = false;
};
CRITICAL_SECTION s_interruptLock;
Interruption* s_interruption = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    // A Ctrl-C or Ctrl-Break is an interrupt (130), a closed console, a
    // log-off or a shutdown a termination (143).
    const int code = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 130 : 143;
    EnterCriticalSection(&s_interruptLock);
    Interruption* running = s_interruption;
    if (!running || running->jobDone) {
        LeaveCriticalSection(&s_interruptLock);
        return FALSE;
    }
    if (running->stop) {
        const OnSignal stop = running->stop;
        running->stop = nullptr;
        stop(code);
        LeaveCriticalSection(&s_interruptLock);
        return TRUE;
    }
    (*running->interrupted)(code);
    fflush(stdout);
    fflush(stderr);
    ExitProcess(static_cast<UINT>(code));
}

} // namespace

int32_t RunInterruptible(const Job& job, const OnSignal& interrupted)
{
    return RunStoppable(job, OnSignal(), interrupted);
}

int32_t RunStoppable(const Job& job, const OnSignal& stop, const OnSignal& interrupted)
{
    static const bool initialised = (InitializeCriticalSection(&s_interruptLock), true);
    (void)initialised;
    Interruption running;
    running.stop = stop;
    running.interrupted = &interrupted;
    EnterCriticalSection(&s_interruptLock);
    s_interruption = &running;
    LeaveCriticalSection(&s_interruptLock);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
    const int32_t status = job();
    EnterCriticalSection(&s_interruptLock); // waits while an interrupt is handled: the process exits there
    running.jobDone = true;
    s_interruption = nullptr;
    LeaveCriticalSection(&s_interruptLock);
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    return status;
}

EntryKind KindOnDisk(const fs::path& path, uint64_t* fileSystem)
{
    // The attributes only: nothing is opened. A reparse point (a symbolic
    // link, a junction, a mounted volume) is a link the job does not follow.
    *fileSystem = 0;
    const DWORD attributes = GetFileAttributesW(fs::path(path).make_preferred().c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return EntryKind::Missing;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::Link;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::Folder;
    if (attributes & FILE_ATTRIBUTE_DEVICE) return EntryKind::Device;
    return EntryKind::File;
}

bool IsFileSystemRoot(const fs::path& folder)
{
    std::error_code error;
    fs::path absolute = fs::absolute(folder, error).lexically_normal().make_preferred();
    if (error) return false;
    std::wstring text = absolute.wstring();
    if (text.empty() || text.back() != L'\\') text += L'\\';
    wchar_t volume[MAX_PATH];
    if (!GetVolumePathNameW(text.c_str(), volume, MAX_PATH)) return false;
    return _wcsicmp(volume, text.c_str()) == 0;
}

struct FolderWatch {};

FolderWatch* WatchFolder(const fs::path&) { return nullptr; }
bool FolderRemoved(FolderWatch*) { return false; }
void EndWatch(FolderWatch*) {}

struct FolderLock {
    HANDLE folder;
    HANDLE holder; // a named mapping holding a LockRecord
};

namespace {

// What the named mapping of a held lock says of its holder.
struct LockRecord {
    DWORD pid;
    char command[16];
};

} // namespace

LockOutcome LockFolder(const fs::path& folder, const char* command, FolderLock** lock, LockHolder* holder,
                       std::string* why)
{
    // A folder takes no byte-range lock: the lock is a handle of the folder
    // with the right to add entries that shares that right with no one.
    // Listing the folder or creating entries in it opens no such handle, so
    // the job and this process work on, and a second lock is refused with a
    // sharing violation.
    HANDLE handle = CreateFileW(fs::path(folder).make_preferred().c_str(), FILE_ADD_FILE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const DWORD error = handle == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    // The holder's id, by the folder's identity, in memory rather than on the card.
    BY_HANDLE_FILE_INFORMATION identity = {};
    HANDLE probe = handle != INVALID_HANDLE_VALUE
                       ? handle
                       : CreateFileW(fs::path(folder).make_preferred().c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool identified = probe != INVALID_HANDLE_VALUE && GetFileInformationByHandle(probe, &identity);
    if (probe != INVALID_HANDLE_VALUE && probe != handle) CloseHandle(probe);
    wchar_t name[96];
    swprintf(name, sizeof name / sizeof name[0], L"Local\\pelk-mapcopy-%08lx-%08lx%08lx",
             static_cast<unsigned long>(identity.dwVolumeSerialNumber), static_cast<unsigned long>(identity.nFileIndexHigh),
             static_cast<unsigned long>(identity.nFileIndexLow));
    if (handle == INVALID_HANDLE_VALUE) {
        if (error != ERROR_SHARING_VIOLATION) {
            *why = Win32ErrorText(error);
            return LockOutcome::Failed;
        }
        HANDLE mapping = identified ? OpenFileMappingW(FILE_MAP_READ, FALSE, name) : nullptr;
        if (mapping) {
            const auto* record =
                static_cast<const LockRecord*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(LockRecord)));
            if (record) {
                holder->pid = static_cast<long>(record->pid);
                holder->command.assign(record->command, strnlen(record->command, sizeof record->command));
                holder->self = record->pid == GetCurrentProcessId();
                UnmapViewOfFile(record);
            }
            CloseHandle(mapping);
        }
        return LockOutcome::HeldElsewhere;
    }
    HANDLE mapping = identified ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                     sizeof(LockRecord), name)
                                : nullptr;
    if (mapping) {
        auto* record = static_cast<LockRecord*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(LockRecord)));
        if (record) {
            record->pid = GetCurrentProcessId();
            snprintf(record->command, sizeof record->command, "%s", command);
            UnmapViewOfFile(record);
        }
    }
    *lock = new FolderLock{handle, mapping};
    return LockOutcome::Taken;
}

void UnlockFolder(FolderLock* lock)
{
    if (!lock) return;
    if (lock->holder) CloseHandle(lock->holder);
    CloseHandle(lock->folder);
    delete lock;
}

std::string PathText(const fs::path& path) { return EscapedName(path.wstring()); }

const ConsoleCalls kConsoleCalls = {GetConsoleMode,           SetConsoleMode,
                                    GetConsoleScreenBufferInfo, SetConsoleCursorPosition,
                                    FillConsoleOutputCharacterW, FillConsoleOutputAttribute};
ConsoleCalls g_consoleCalls = kConsoleCalls;

namespace {

// The console the last choice was made for, and whether it takes escape
// sequences; elsewhere the console API moves the cursor.
HANDLE s_chosenFor = INVALID_HANDLE_VALUE;
bool s_escapes = false;

// Wine, and consoles before Windows 10, may accept VT mode and still show
// an escape sequence as text: one that erases to the end of the line is
// written, and a cursor it moved says so (what it printed is blanked).
bool TakesEscapes(HANDLE console, DWORD mode)
{
    if (!(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) &&
        !g_consoleCalls.setMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return false;
    CONSOLE_SCREEN_BUFFER_INFO before;
    CONSOLE_SCREEN_BUFFER_INFO after;
    fflush(stderr);
    if (!g_consoleCalls.getInfo(console, &before)) return false;
    fputs("\033[K", stderr);
    fflush(stderr);
    if (!g_consoleCalls.getInfo(console, &after)) return false;
    const long moved = (after.dwCursorPosition.Y - before.dwCursorPosition.Y) * static_cast<long>(before.dwSize.X) +
                       after.dwCursorPosition.X - before.dwCursorPosition.X;
    if (moved == 0) return true;
    DWORD written = 0;
    g_consoleCalls.setCursor(console, before.dwCursorPosition);
    g_consoleCalls.fill(console, L' ', static_cast<DWORD>(moved > 0 ? moved : 0), before.dwCursorPosition, &written);
    return false;
}

void WriteToTerminal(const std::string& text) { fputs(text.c_str(), stderr); }

void LineUp(size_t lines)
{
    if (s_escapes) {
        if (lines == 0) fputs("\r", stderr);
        else fprintf(stderr, "\r\033[%zuA", lines);
        return;
    }
    fflush(stderr);
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!g_consoleCalls.getInfo(console, &info)) return;
    const long row = static_cast<long>(info.dwCursorPosition.Y) - static_cast<long>(lines);
    g_consoleCalls.setCursor(console, COORD{0, static_cast<SHORT>(row > 0 ? row : 0)});
}

void ClearToEnd()
{
    if (s_escapes) {
        fputs("\033[K", stderr);
        return;
    }
    fflush(stderr);
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!g_consoleCalls.getInfo(console, &info) || info.dwCursorPosition.X >= info.dwSize.X) return;
    const DWORD count = static_cast<DWORD>(info.dwSize.X - info.dwCursorPosition.X);
    DWORD written = 0;
    g_consoleCalls.fill(console, L' ', count, info.dwCursorPosition, &written);
    g_consoleCalls.fillAttribute(console, info.wAttributes, count, info.dwCursorPosition, &written);
}

} // namespace

const TerminalCalls kTerminalCalls = {WriteToTerminal, LineUp, ClearToEnd};
TerminalCalls g_terminalCalls = kTerminalCalls;

int ErrorTerminalColumns()
{
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (error == INVALID_HANDLE_VALUE || !g_consoleCalls.getMode(error, &mode)) return 0;
    if (error != s_chosenFor) {
        s_escapes = TakesEscapes(error, mode);
        s_chosenFor = error;
    }
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!g_consoleCalls.getInfo(error, &info)) return 0;
    const int columns = info.srWindow.Right - info.srWindow.Left + 1;
    return columns > 0 ? columns : 80;
}

} // namespace tool
