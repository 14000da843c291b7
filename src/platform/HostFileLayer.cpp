// The Windows CE file services on POSIX, with the device's semantics
// (docs/host-layer.md). Each service resolves its path once (HostLookup.h),
// then makes one system call on the name as stored. No link is ever
// followed; an entry with no write permission bit is read-only, as FAT's
// attribute, even for root.
#include "HostCalls.h"
#include "HostLookup.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

const size_t kStreamBuffer = 64 * 1024;
const size_t kCopyBuffer = 128 * 1024;
const int kNoLinkFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// The Win32 code for each errno value the services meet; any other is a
// general failure, never a plausible but wrong "access denied".
const struct { int error; DWORD code; } kErrorCodes[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},      {ENOTDIR, ERROR_PATH_NOT_FOUND},     {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},        {EROFS, ERROR_ACCESS_DENIED},        {EISDIR, ERROR_ACCESS_DENIED},
    {EEXIST, ERROR_ALREADY_EXISTS},      {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},    {ENOSPC, ERROR_HANDLE_DISK_FULL},
    {EDQUOT, ERROR_HANDLE_DISK_FULL},    {EMFILE, ERROR_TOO_MANY_OPEN_FILES}, {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},   {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ELOOP, ERROR_CANT_RESOLVE_FILENAME}, {EIO, ERROR_IO_DEVICE},            {EBUSY, ERROR_BUSY},
    {ETXTBSY, ERROR_BUSY},               {EFBIG, ERROR_FILE_TOO_LARGE},       {EINVAL, ERROR_INVALID_PARAMETER},
    {EBADF, ERROR_INVALID_HANDLE},       {ENODEV, ERROR_NOT_READY},           {ENXIO, ERROR_NOT_READY},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},   {ENOSYS, ERROR_NOT_SUPPORTED},
};

BOOL FailWith(DWORD error) { return t_lastError = error, FALSE; }

BOOL FailWithErrno(void)
{
    for (const auto& entry : kErrorCodes)
        if (entry.error == errno) return FailWith(entry.code);
    return FailWith(ERROR_GEN_FAILURE);
}

// A failed call's result of any type, the last error set.
struct Failed {
    template <typename T> operator T*() const { return nullptr; }
    operator HANDLE() const { return INVALID_HANDLE_VALUE; }
};
Failed FailHandle(DWORD error) { return FailWith(error), Failed(); }

bool IsReadOnly(const struct stat& status) { return (status.st_mode & 0222) == 0; }

// Fills path; on failure sets the last error and returns false.
bool Resolve(const WCHAR* devicePath, HostPath* path, bool existing)
{
    if (ResolvePath(devicePath, path)) return path->exists || !existing || FailWith(ERROR_FILE_NOT_FOUND);
    if (errno == EINVAL) return FailWith(ERROR_INVALID_NAME);
    return errno == ENOENT ? FailWith(ERROR_PATH_NOT_FOUND) : FailWithErrno(); // ENOENT: a folder on the way
}

// A device path copied into a record, cut to MAX_PATH; its folder's length.
size_t CopyDevicePath(WCHAR* target, const WCHAR* source)
{
    size_t i = 0, folderUnits = 0;
    for (; i + 1 < MAX_PATH && source[i]; ++i)
        if ((target[i] = source[i]) == u'\\' || source[i] == u'/') folderUnits = i + 1;
    target[i] = 0;
    return folderUnits;
}


struct HostFind {
    DIR* folder; // null for an existence probe, which has one entry only
    size_t folderUnits; // of path, up to its last name
    WCHAR path[MAX_PATH];
};

DWORD AttributesOf(const struct stat& status)
{
    if (IsReadOnly(status)) return FILE_ATTRIBUTE_READONLY | (S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0);
    return S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
}

// Reads the next entry other than "." and ".."; FALSE with
// ERROR_NO_MORE_FILES only at the end of the listing.
BOOL ReadNextEntry(HostFind* find, LPWIN32_FIND_DATAW findData)
{
    for (struct dirent* entry; errno = 0, (entry = g_hostCalls.readdir(find->folder));) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        if (HostNameToDevice(name, findData->cFileName, MAX_PATH) < 0) return FailWith(ERROR_FILENAME_EXCED_RANGE);
        // The read-only attribute needs the mode, which the listing lacks.
        struct stat status;
        if (g_hostCalls.fstatat(dirfd(find->folder), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue; // gone since it was listed
            return FailWithErrno();
        }
        findData->dwFileAttributes = AttributesOf(status);
        NoteEntry(find->path, find->folderUnits, findData->cFileName, &status);
        return TRUE;
    }
    return errno ? FailWithErrno() : FailWith(ERROR_NO_MORE_FILES);
}

HANDLE NewFind(DIR* folder, const WCHAR* path)
{
    HostFind* find = static_cast<HostFind*>(malloc(sizeof(HostFind)));
    if (!find) return (folder ? closedir(folder) : 0), FailHandle(ERROR_NOT_ENOUGH_MEMORY);
    find->folder = folder;
    find->folderUnits = CopyDevicePath(find->path, path);
    BeginSearch();
    return find;
}

// A search of every entry of the folder named by the pattern's first
// folderLength units; a missing folder, a file or a link is a path not found.
HANDLE FindInFolder(const WCHAR* pattern, size_t folderLength, LPWIN32_FIND_DATAW findData)
{
    DIR* folder = nullptr;
    {
        HostPath path;
        WCHAR folderPath[MAX_PATH];
        memcpy(folderPath, pattern, folderLength * sizeof(WCHAR));
        folderPath[folderLength] = 0;
        if (folderLength == 0 ? !ResolveRoot(&path) && !FailWithErrno() : !Resolve(folderPath, &path, false))
            return Failed();
        if (!path.exists || !S_ISDIR(path.status.st_mode)) return FailHandle(ERROR_PATH_NOT_FOUND);
        if (!(folder = OpenListing(path.folderFd, path.name))) return FailWithErrno(), Failed();
    }
    HANDLE handle = NewFind(folder, pattern);
    if (handle == INVALID_HANDLE_VALUE || ReadNextEntry(static_cast<HostFind*>(handle), findData)) return handle;
    const DWORD error = t_lastError;
    FindClose(handle);
    // An empty folder has no entries: the device reports it as not found.
    return FailHandle(error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error);
}

HANDLE SystemFindFirst(LPCWSTR fileName, LPWIN32_FIND_DATAW findData)
{
    size_t length = 0;
    while (fileName[length]) ++length;
    size_t nameStart = length;
    while (nameStart > 0 && fileName[nameStart - 1] != u'\\' && fileName[nameStart - 1] != u'/') --nameStart;
    const WCHAR* name = fileName + nameStart;
    if (name[0] == u'*' && (name[1] == 0 || (name[1] == u'.' && name[2] == u'*' && name[3] == 0)))
        return FindInFolder(fileName, nameStart > 0 ? nameStart - 1 : 0, findData);
    for (const WCHAR* unit = name; *unit; ++unit)
        if (*unit == u'*' || *unit == u'?') return FailHandle(ERROR_INVALID_NAME); // only match-all searches
    // A probe: the one entry, its name as stored, as the device reports it.
    {
        HostPath path;
        if (!Resolve(fileName, &path, true)) return Failed();
        if (HostNameToDevice(path.name, findData->cFileName, MAX_PATH) < 0)
            return FailHandle(ERROR_FILENAME_EXCED_RANGE);
        findData->dwFileAttributes = AttributesOf(path.status);
    }
    return NewFind(nullptr, fileName);
}

BOOL SystemFindNext(HANDLE find, LPWIN32_FIND_DATAW data)
{
    HostFind* search = static_cast<HostFind*>(find);
    return search->folder ? ReadNextEntry(search, data) : FailWith(ERROR_NO_MORE_FILES);
}


BOOL SystemCreateDirectory(LPCWSTR pathName)
{
    HostPath path;
    if (!Resolve(pathName, &path, false)) return FALSE;
    if (path.exists) return FailWith(ERROR_ALREADY_EXISTS);
    return CreateFolderEntry(&path) || FailWithErrno();
}

BOOL SystemRemoveDirectory(LPCWSTR pathName)
{
    HostPath path;
    if (!Resolve(pathName, &path, true)) return FALSE;
    if (RemoveEntry(&path, true)) return TRUE;
    return errno == EEXIST ? FailWith(ERROR_DIR_NOT_EMPTY) : FailWithErrno();
}

BOOL SystemDeleteFile(LPCWSTR fileName)
{
    HostPath path;
    if (!Resolve(fileName, &path, true)) return FALSE;
    if (S_ISDIR(path.status.st_mode) || IsReadOnly(path.status)) return FailWith(ERROR_ACCESS_DENIED);
    return RemoveEntry(&path, false) || FailWithErrno();
}


bool CopyBytesByReadWrite(int source, int target)
{
    static char buffer[kCopyBuffer]; // the layer serves one thread
    for (;;) {
        const ssize_t got = g_hostCalls.read(source, buffer, kCopyBuffer);
        if (got <= 0) return got == 0;
        for (ssize_t done = 0; done < got;) {
            const ssize_t wrote = g_hostCalls.write(target, buffer + done, static_cast<size_t>(got - done));
            if (wrote == 0) errno = ENOSPC;
            if (wrote <= 0) return false;
            done += wrote;
        }
    }
}

// Copies the source's bytes up to the size it had when opened: a file that
// grows meanwhile is copied as it was, and no call is spent on finding the end.
bool CopyBytes(int source, int target, off_t size)
{
    for (off_t copied = 0; copied < size;) {
        const ssize_t done = g_hostCalls.copyFileRange(source, target, static_cast<size_t>(size - copied));
        if (done == 0) return true; // it shrank
        if (done < 0 && copied == 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL ||
                                        errno == EOPNOTSUPP || errno == EBADF || errno == EPERM))
            return CopyBytesByReadWrite(source, target);
        if (done < 0) return false;
        copied += done;
    }
    return true;
}

// The copy's source, opened for reading: a regular file, never a link (nor
// a FIFO or device, which opening could block on or act on). -1 on failure.
int OpenCopySource(const WCHAR* devicePath, struct stat* status)
{
    HostPath path;
    if (!Resolve(devicePath, &path, true)) return -1;
    if (!S_ISREG(path.status.st_mode)) return FailWith(ERROR_ACCESS_DENIED), -1;
    const int fd = g_hostCalls.openat(path.folderFd, path.name, O_RDONLY | kNoLinkFlags, 0);
    if (fd < 0) return FailWithErrno(), -1;
    const bool statted = g_hostCalls.fstat(fd, status) == 0;
    if (statted && S_ISREG(status->st_mode)) return fd; // what was opened: a swapped entry is refused
    statted ? FailWith(ERROR_ACCESS_DENIED) : FailWithErrno();
    CloseQuietly(fd);
    return -1;
}

// The copy's destination, opened for writing: a new file (*created), or the
// file there whose name equals the new one ignoring letter case, which keeps
// its name. -1 on failure.
int OpenCopyTarget(const WCHAR* devicePath, BOOL failIfExists, const struct stat& source, HostPath* path,
                   bool* created)
{
    if (!Resolve(devicePath, path, false)) return -1;
    int fd = -1;
    const struct stat& status = path->status;
    if ((*created = !path->exists)) fd = CreateFileEntry(path, O_WRONLY | kNoLinkFlags, source.st_mode & 0777);
    else if (failIfExists) return FailWith(ERROR_FILE_EXISTS), -1;
    // Never a folder or a read-only file; nor the source itself, which it would truncate.
    else if (!S_ISREG(status.st_mode) || IsReadOnly(status) ||
             (status.st_dev == source.st_dev && status.st_ino == source.st_ino))
        return FailWith(ERROR_ACCESS_DENIED), -1;
    else fd = g_hostCalls.openat(path->folderFd, path->name, O_WRONLY | kNoLinkFlags, 0);
    if (fd < 0) FailWithErrno();
    return fd;
}

// The bytes, the permissions (so the read-only attribute) and the times.
bool FillCopy(int source, int target, const struct stat& sourceStatus, bool created)
{
    if (!created && g_hostCalls.ftruncate(target, 0) != 0) return false;
    if (!CopyBytes(source, target, sourceStatus.st_size)) return false;
    const mode_t mode = sourceStatus.st_mode & 0777;
    if ((!created || (mode & CreationMask()) != 0) && g_hostCalls.fchmod(target, mode) != 0) return false;
    struct timespec times[2] = {sourceStatus.st_atim, sourceStatus.st_mtim};
    return g_hostCalls.futimens(target, times) == 0;
}

BOOL SystemCopyFile(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists)
{
    struct stat sourceStatus;
    const int source = OpenCopySource(existingFileName, &sourceStatus);
    if (source < 0) return FALSE;
    HostPath targetPath;
    bool created = false;
    const int target = OpenCopyTarget(newFileName, failIfExists, sourceStatus, &targetPath, &created);
    bool ok = target >= 0 && FillCopy(source, target, sourceStatus, created);
    if (target >= 0) ok = ok ? close(target) == 0 : (CloseQuietly(target), false);
    CloseQuietly(source);
    const int error = errno;
    if (target >= 0 && !ok) RemoveEntry(&targetPath, false); // no half-written copy is left behind
    if (target < 0 || !ok) return errno = error, target < 0 ? FALSE : FailWithErrno();
    // The job sums a new copy next: a regular file of the source's mode.
    struct stat copy = {};
    copy.st_mode = sourceStatus.st_mode;
    if (created) NoteEntry(u"", 0, newFileName, &copy);
    return TRUE;
}


struct HostStream {
    int fd;
    WCHAR path[MAX_PATH];
    // Given to setvbuf: with a null buffer glibc ignores the size asked for
    // and allocates BUFSIZ (8 KiB) on the first read.
    char buffer[kStreamBuffer];
};

ssize_t SystemReadStream(int fd, void* buffer, size_t size, const WCHAR*) { return g_hostCalls.read(fd, buffer, size); }

ssize_t ReadStream(void* cookie, char* buffer, size_t size)
{
    const HostStream* stream = static_cast<HostStream*>(cookie);
    return g_hostCalls.readStream(stream->fd, buffer, size, stream->path);
}

int CloseStream(void* cookie)
{
    const int result = close(static_cast<HostStream*>(cookie)->fd);
    return free(cookie), result;
}

// "r", "rb" or "rt": an existing regular file, never through a link.
FILE* SystemOpenStream(const WCHAR* fileName, const WCHAR* mode)
{
    for (const WCHAR* option = mode + 1; mode[0] == u'r' && *option; ++option)
        if (*option != u'b' && *option != u't') mode = u"";
    if (mode[0] != u'r') return FailHandle(ERROR_INVALID_PARAMETER);
    int fd;
    {
        HostPath path;
        if (!Resolve(fileName, &path, true)) return Failed();
        if (S_ISLNK(path.status.st_mode)) return FailHandle(ERROR_CANT_RESOLVE_FILENAME);
        // A folder, FIFO or device is no file to read, and is never opened.
        if (!S_ISREG(path.status.st_mode)) return FailHandle(ERROR_ACCESS_DENIED);
        fd = g_hostCalls.openat(path.folderFd, path.name, O_RDONLY | kNoLinkFlags, 0);
        if (fd < 0) return FailWithErrno(), Failed();
    }
    HostStream* stream = static_cast<HostStream*>(malloc(sizeof(HostStream)));
    cookie_io_functions_t functions = {ReadStream, nullptr, nullptr, CloseStream}; // not seekable
    FILE* file = stream ? fopencookie(stream, "r", functions) : nullptr;
    if (!file) {
        free(stream);
        CloseQuietly(fd);
        return FailHandle(ERROR_NOT_ENOUGH_MEMORY);
    }
    stream->fd = fd;
    CopyDevicePath(stream->path, fileName);
    setvbuf(file, stream->buffer, _IOFBF, kStreamBuffer);
    return file;
}

// The calls that can be interrupted are restarted here, once for all callers.
template <typename Call>
ssize_t Restarted(Call call)
{
    ssize_t result;
    do result = call();
    while (result < 0 && errno == EINTR);
    return result;
}

bool IsFindHandle(HANDLE find) { return (find != INVALID_HANDLE_VALUE && find) || FailWith(ERROR_INVALID_HANDLE); }

} // namespace

const HostCalls kHostSystemCalls = {
    SystemFindFirst, SystemFindNext, SystemCreateDirectory, SystemRemoveDirectory, SystemDeleteFile, SystemCopyFile,
    SystemOpenStream, SystemReadStream,
    [](int folderFd, const char* name, int flags, mode_t mode) { return openat(folderFd, name, flags, mode); },
    fstatat,
    fstat, readdir, mkdirat, unlinkat, ftruncate,
    [](int source, int target, size_t length) {
        return Restarted([&] { return copy_file_range(source, nullptr, target, nullptr, length, 0); });
    },
    [](int fd, void* buffer, size_t size) { return Restarted([&] { return read(fd, buffer, size); }); },
    [](int fd, const void* buffer, size_t size) { return Restarted([&] { return write(fd, buffer, size); }); },
    fchmod, futimens,
};
HostCalls g_hostCalls = kHostSystemCalls;


DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD errorCode) { t_lastError = errorCode; }
BOOL HostSetDeviceRoot(const char* hostFolder) { return SetHostRoot(hostFolder) ? TRUE : FailWithErrno(); }

const WCHAR* HostFindPath(HANDLE find)
{
    return find == INVALID_HANDLE_VALUE || !find ? nullptr : static_cast<HostFind*>(find)->path;
}

HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW data) { return g_hostCalls.findFirst(fileName, data); }

BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findData)
{
    return IsFindHandle(findFile) && g_hostCalls.findNext(findFile, findData);
}

BOOL FindClose(HANDLE findFile)
{
    if (!IsFindHandle(findFile)) return FALSE;
    HostFind* find = static_cast<HostFind*>(findFile);
    if (find->folder) closedir(find->folder);
    free(find);
    EndSearch();
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES) { return g_hostCalls.createDirectory(pathName); }
BOOL RemoveDirectoryW(LPCWSTR pathName) { return g_hostCalls.removeDirectory(pathName); }
BOOL DeleteFileW(LPCWSTR fileName) { return g_hostCalls.deleteFile(fileName); }
BOOL CopyFileW(LPCWSTR from, LPCWSTR to, BOOL failIfExists) { return g_hostCalls.copyFile(from, to, failIfExists); }
FILE* _wfopen(const WCHAR* fileName, const WCHAR* mode) { return g_hostCalls.openStream(fileName, mode); }

int _wcsicmp(const WCHAR* left, const WCHAR* right)
{
    for (;; ++left, ++right) {
        unsigned a = *left, b = *right;
        if (a >= 'A' && a <= 'Z') a += 'a' - 'A';
        if (b >= 'A' && b <= 'Z') b += 'a' - 'A';
        if (a != b || a == 0) return static_cast<int>(a) - static_cast<int>(b);
    }
}
