#include "HostFaults.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>

#include "HostCalls.h"

namespace {

HostFaultPlan g_plan;
bool g_planArmed = false;
HostTraceHook g_traceHook = nullptr;
void* g_traceContext = nullptr;
HostTraceHook g_writeHook = nullptr;
void* g_writeContext = nullptr;
unsigned g_callCount = 0;
unsigned g_faultsInjected = 0;
HostService g_persistentService = SERVICE_NONE;
HostSystemCallHook g_systemCallHook = nullptr;
void* g_systemCallContext = nullptr;
unsigned g_systemCallCounts[SYSCALL_COUNT];

bool SamePath(const WCHAR* left, const WCHAR* right)
{
    if (!left || !right) return false;
    while (*left && *left == *right) {
        ++left;
        ++right;
    }
    return *left == *right;
}

bool IsSeparator(WCHAR unit) { return unit == u'\\' || unit == u'/'; }

// folder itself or a path below it
bool IsWithin(const WCHAR* path, const WCHAR* folder)
{
    if (!path || !folder[0]) return false;
    while (*folder && *path == *folder) {
        ++path;
        ++folder;
    }
    return *folder == 0 && (*path == 0 || IsSeparator(*path));
}

// True when this call must fail.
bool CallFails(HostService service, const WCHAR* devicePath)
{
    ++g_callCount;
    bool fails = false;
    if (g_planArmed) {
        if (g_plan.failAtCall != 0 && g_callCount == g_plan.failAtCall) {
            fails = true;
            if (g_plan.persistent) g_persistentService = service;
        } else if (service == g_persistentService) {
            fails = true;
        }
        if (service == g_plan.matchService && SamePath(devicePath, g_plan.matchPath)) fails = true;
        if (fails) ++g_faultsInjected;
    }
    if (g_traceHook) g_traceHook(service, devicePath, fails, g_traceContext);
    return fails;
}

// After CallFails, for a call that writes writtenPath: true when the write
// protection refuses it. Not a call of its own: the count does not change.
bool WriteFails(HostService service, const WCHAR* writtenPath)
{
    const bool fails = g_planArmed && IsWithin(writtenPath, g_plan.writeProtectedFolder);
    if (fails) ++g_faultsInjected;
    if (g_writeHook) g_writeHook(service, writtenPath, fails, g_writeContext);
    return fails;
}

bool StreamWrites(const WCHAR* mode)
{
    bool writes = mode[0] != u'r';
    for (const WCHAR* option = mode; *option; ++option)
        if (*option == u'+') writes = true;
    return writes;
}

HANDLE FindFirst(LPCWSTR fileName, LPWIN32_FIND_DATAW findData)
{
    if (CallFails(SERVICE_FIND_FIRST, fileName)) {
        SetLastError(ERROR_READ_FAULT);
        return INVALID_HANDLE_VALUE;
    }
    return kHostSystemCalls.findFirst(fileName, findData);
}

BOOL FindNext(HANDLE findFile, LPWIN32_FIND_DATAW findData)
{
    if (CallFails(SERVICE_FIND_NEXT, HostFindPath(findFile))) {
        SetLastError(ERROR_READ_FAULT);
        return FALSE;
    }
    return kHostSystemCalls.findNext(findFile, findData);
}

// A writing service: the call may fail, then its write may be refused.
template <typename Call>
BOOL WriteService(HostService service, const WCHAR* tracedPath, const WCHAR* writtenPath, Call call)
{
    if (CallFails(service, tracedPath)) {
        SetLastError(ERROR_WRITE_FAULT);
        return FALSE;
    }
    if (WriteFails(service, writtenPath)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    return call();
}

BOOL CreateDirectory(LPCWSTR path)
{
    return WriteService(SERVICE_CREATE_DIRECTORY, path, path, [&] { return kHostSystemCalls.createDirectory(path); });
}

BOOL RemoveDirectory(LPCWSTR path)
{
    return WriteService(SERVICE_REMOVE_DIRECTORY, path, path, [&] { return kHostSystemCalls.removeDirectory(path); });
}

BOOL DeleteFile(LPCWSTR path)
{
    return WriteService(SERVICE_DELETE_FILE, path, path, [&] { return kHostSystemCalls.deleteFile(path); });
}

BOOL CopyFile(LPCWSTR source, LPCWSTR target, BOOL failIfExists)
{
    return WriteService(SERVICE_COPY_FILE, source, target,
                 [&] { return kHostSystemCalls.copyFile(source, target, failIfExists); });
}

FILE* OpenStream(const WCHAR* fileName, const WCHAR* mode)
{
    if (CallFails(SERVICE_OPEN_STREAM, fileName)) {
        SetLastError(ERROR_READ_FAULT);
        return nullptr;
    }
    if (StreamWrites(mode) && WriteFails(SERVICE_OPEN_STREAM, fileName)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return kHostSystemCalls.openStream(fileName, mode);
}

ssize_t ReadStream(int fd, void* buffer, size_t size, const WCHAR* path)
{
    if (CallFails(SERVICE_READ_STREAM, path)) {
        errno = EIO;
        return -1;
    }
    return kHostSystemCalls.readStream(fd, buffer, size, path);
}

// True (errno set) when this system call must fail.
bool SystemCallFails(HostSystemCall call)
{
    const unsigned number = ++g_systemCallCounts[call];
    const bool fails = g_planArmed && g_plan.failSystemCall == call && g_plan.failSystemCallAt == number;
    if (fails) {
        ++g_faultsInjected;
        errno = g_plan.systemCallError ? g_plan.systemCallError : EIO;
    }
    if (g_systemCallHook) g_systemCallHook(call, g_callCount, fails, g_systemCallContext);
    return fails;
}

int Openat(int folderFd, const char* name, int flags, mode_t mode)
{
    return SystemCallFails(SYSCALL_OPENAT) ? -1 : kHostSystemCalls.openat(folderFd, name, flags, mode);
}
int Fstatat(int folderFd, const char* name, struct stat* status, int flags)
{
    return SystemCallFails(SYSCALL_FSTATAT) ? -1 : kHostSystemCalls.fstatat(folderFd, name, status, flags);
}
int Fstat(int fd, struct stat* status)
{
    return SystemCallFails(SYSCALL_FSTAT) ? -1 : kHostSystemCalls.fstat(fd, status);
}
struct dirent* Readdir(DIR* folder)
{
    return SystemCallFails(SYSCALL_READDIR) ? nullptr : kHostSystemCalls.readdir(folder);
}
int Mkdirat(int folderFd, const char* name, mode_t mode)
{
    return SystemCallFails(SYSCALL_MKDIRAT) ? -1 : kHostSystemCalls.mkdirat(folderFd, name, mode);
}
int Unlinkat(int folderFd, const char* name, int flags)
{
    return SystemCallFails(SYSCALL_UNLINKAT) ? -1 : kHostSystemCalls.unlinkat(folderFd, name, flags);
}
int Ftruncate(int fd, off_t length)
{
    return SystemCallFails(SYSCALL_FTRUNCATE) ? -1 : kHostSystemCalls.ftruncate(fd, length);
}
ssize_t CopyFileRange(int source, int target, size_t length)
{
    return SystemCallFails(SYSCALL_COPY_FILE_RANGE) ? -1 : kHostSystemCalls.copyFileRange(source, target, length);
}
ssize_t Read(int fd, void* buffer, size_t size)
{
    return SystemCallFails(SYSCALL_READ) ? -1 : kHostSystemCalls.read(fd, buffer, size);
}
ssize_t Write(int fd, const void* buffer, size_t size)
{
    return SystemCallFails(SYSCALL_WRITE) ? -1 : kHostSystemCalls.write(fd, buffer, size);
}
int Fchmod(int fd, mode_t mode) { return SystemCallFails(SYSCALL_FCHMOD) ? -1 : kHostSystemCalls.fchmod(fd, mode); }
int Futimens(int fd, const struct timespec times[2])
{
    return SystemCallFails(SYSCALL_FUTIMENS) ? -1 : kHostSystemCalls.futimens(fd, times);
}

const HostCalls kTestCalls = {FindFirst, FindNext,  CreateDirectory, RemoveDirectory, DeleteFile, CopyFile,
                              OpenStream, ReadStream, Openat,          Fstatat,         Fstat,      Readdir,
                              Mkdirat,   Unlinkat,  Ftruncate,       CopyFileRange,   Read,       Write,
                              Fchmod,    Futimens};

} // namespace

const char* HostServiceName(HostService service)
{
    switch (service) {
    case SERVICE_FIND_FIRST: return "FindFirstFileW";
    case SERVICE_FIND_NEXT: return "FindNextFileW";
    case SERVICE_CREATE_DIRECTORY: return "CreateDirectoryW";
    case SERVICE_REMOVE_DIRECTORY: return "RemoveDirectoryW";
    case SERVICE_DELETE_FILE: return "DeleteFileW";
    case SERVICE_COPY_FILE: return "CopyFileW";
    case SERVICE_OPEN_STREAM: return "_wfopen";
    case SERVICE_READ_STREAM: return "fread";
    default: return "none";
    }
}

void HostFaultsReset(void)
{
    memset(&g_plan, 0, sizeof g_plan);
    g_planArmed = false;
    g_traceHook = nullptr;
    g_traceContext = nullptr;
    g_writeHook = nullptr;
    g_writeContext = nullptr;
    g_callCount = 0;
    g_faultsInjected = 0;
    g_persistentService = SERVICE_NONE;
    g_systemCallHook = nullptr;
    g_systemCallContext = nullptr;
    memset(g_systemCallCounts, 0, sizeof g_systemCallCounts);
    g_hostCalls = kTestCalls;
}

void HostFaultsRemove(void)
{
    HostFaultsReset();
    g_hostCalls = kHostSystemCalls;
}

void HostFaultsArm(const HostFaultPlan* plan)
{
    g_plan = *plan;
    g_planArmed = true;
    g_persistentService = SERVICE_NONE;
}

void HostFaultsSetTrace(HostTraceHook hook, void* context)
{
    g_traceHook = hook;
    g_traceContext = context;
}

void HostFaultsSetWriteTrace(HostTraceHook hook, void* context)
{
    g_writeHook = hook;
    g_writeContext = context;
}

void HostFaultsSetSystemCallTrace(HostSystemCallHook hook, void* context)
{
    g_systemCallHook = hook;
    g_systemCallContext = context;
}

const char* HostSystemCallName(HostSystemCall call)
{
    static const char* const kNames[SYSCALL_COUNT] = {"none",     "openat",   "fstatat",         "fstat", "readdir",
                                                      "mkdirat",  "unlinkat", "ftruncate",       "copy_file_range",
                                                      "read",     "write",    "fchmod",          "futimens"};
    return call > SYSCALL_NONE && call < SYSCALL_COUNT ? kNames[call] : "none";
}

unsigned HostCallCount(void) { return g_callCount; }
unsigned HostFaultsInjected(void) { return g_faultsInjected; }
int HostOpenFindHandles(void) { return HostOpenSearches(); }

int HostOpenDescriptors(void)
{
    DIR* folder = opendir("/proc/self/fd");
    if (!folder) return -1;
    int count = 0;
    while (struct dirent* entry = readdir(folder))
        if (entry->d_name[0] != '.') ++count;
    closedir(folder);
    return count - 1; // the listing's own
}
