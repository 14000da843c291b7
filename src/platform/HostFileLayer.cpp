// The Windows CE file services on POSIX, with the device's semantics.
//
// Names are found as on the device's FAT volumes, ignoring letter case and
// keeping the case they were created with (HostLookup.h). Each service
// resolves its path once, then makes one system call on the name as stored.
// No symbolic link is ever followed: a link met as an entry is a file that
// cannot be copied or opened, and deleting it deletes the link. An entry with
// no write permission bit is read-only, as FAT's attribute: it cannot be
// deleted or written, even by root, and a copy of it is read-only too.
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
const struct {
    int error;
    DWORD code;
} kErrorCodes[] = {
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

DWORD ErrorFromErrno(int error)
{
    for (const auto& entry : kErrorCodes)
        if (entry.error == error) return entry.code;
    return ERROR_GEN_FAILURE;
}

BOOL FailWithErrno(void)
{
    t_lastError = ErrorFromErrno(errno);
    return FALSE;
}

BOOL FailWith(DWORD error)
{
    t_lastError = error;
    return FALSE;
}

bool IsReadOnly(const struct stat& status) { return (status.st_mode & 0222) == 0; }

// A descriptor closed when its holder goes out of scope, unless released.
struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd >= 0) CloseQuietly(fd);
    }
    int Release()
    {
        const int released = fd;
        fd = -1;
        return released;
    }
};

// Fills path; on failure sets the last error and returns false.
bool Resolve(const WCHAR* devicePath, HostPath* path)
{
    if (ResolvePath(devicePath, path)) return true;
    if (errno == EINVAL) return FailWith(ERROR_INVALID_NAME);
    FailWithErrno();
    if (t_lastError == ERROR_FILE_NOT_FOUND) t_lastError = ERROR_PATH_NOT_FOUND; // a folder on the way
    return false;
}

bool ResolveExisting(const WCHAR* devicePath, HostPath* path)
{
    return Resolve(devicePath, path) && (path->exists || FailWith(ERROR_FILE_NOT_FOUND));
}

void CopyDevicePath(WCHAR* target, const WCHAR* source)
{
    size_t i = 0;
    for (; i + 1 < MAX_PATH && source[i]; ++i) target[i] = source[i];
    target[i] = 0;
}

// ---- find handles ----------------------------------------------------------

struct HostFind {
    DIR* folder; // null for an existence probe, which has one entry only
    size_t folderUnits; // of path, up to its last name
    WCHAR path[MAX_PATH];
};

bool IsMatchAll(const WCHAR* name)
{
    return (name[0] == u'*' && name[1] == 0) ||
           (name[0] == u'*' && name[1] == u'.' && name[2] == u'*' && name[3] == 0);
}

bool HasWildcard(const WCHAR* name)
{
    for (; *name; ++name)
        if (*name == u'*' || *name == u'?') return true;
    return false;
}

DWORD AttributesOf(const struct stat& status)
{
    DWORD attributes = S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    if (IsReadOnly(status)) attributes = (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
    return attributes;
}

// Reads the next entry other than "." and ".."; FALSE with
// ERROR_NO_MORE_FILES only at the end of the listing.
BOOL ReadNextEntry(HostFind* find, LPWIN32_FIND_DATAW findData)
{
    for (;;) {
        errno = 0;
        struct dirent* entry = g_hostCalls.readdir(find->folder);
        if (!entry) return errno ? FailWithErrno() : FailWith(ERROR_NO_MORE_FILES);
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
}

HANDLE NewFind(DIR* folder, const WCHAR* path)
{
    HostFind* find = static_cast<HostFind*>(malloc(sizeof(HostFind)));
    if (!find) {
        if (folder) closedir(folder);
        FailWith(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    find->folder = folder;
    CopyDevicePath(find->path, path);
    find->folderUnits = 0;
    for (size_t i = 0; find->path[i]; ++i)
        if (find->path[i] == u'\\' || find->path[i] == u'/') find->folderUnits = i + 1;
    BeginSearch();
    return find;
}

// The folder named by the pattern's first folderLength units, opened for
// listing; a missing folder, a file or a link is a path not found.
bool OpenListedFolder(const WCHAR* pattern, size_t folderLength, Descriptor* folderFd)
{
    HostPath path;
    if (folderLength == 0) {
        if (!ResolveRoot(&path)) return FailWithErrno();
    } else {
        WCHAR folderPath[MAX_PATH];
        memcpy(folderPath, pattern, folderLength * sizeof(WCHAR));
        folderPath[folderLength] = 0;
        if (!Resolve(folderPath, &path)) return false;
        if (!path.exists || !S_ISDIR(path.status.st_mode)) return FailWith(ERROR_PATH_NOT_FOUND);
    }
    folderFd->fd = g_hostCalls.openat(path.folderFd, path.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    return folderFd->fd >= 0 || FailWithErrno();
}

HANDLE FindInFolder(const WCHAR* pattern, size_t folderLength, LPWIN32_FIND_DATAW findData)
{
    Descriptor folderFd;
    if (!OpenListedFolder(pattern, folderLength, &folderFd)) return INVALID_HANDLE_VALUE;
    DIR* folder = fdopendir(folderFd.fd);
    if (!folder) {
        FailWithErrno();
        return INVALID_HANDLE_VALUE;
    }
    folderFd.Release(); // the DIR owns it now
    HANDLE handle = NewFind(folder, pattern);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    if (!ReadNextEntry(static_cast<HostFind*>(handle), findData)) {
        const DWORD error = t_lastError;
        FindClose(handle);
        // An empty folder has no entries: the device reports it as not found.
        t_lastError = error == ERROR_NO_MORE_FILES ? ERROR_FILE_NOT_FOUND : error;
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

HANDLE ProbePath(const WCHAR* devicePath, LPWIN32_FIND_DATAW findData)
{
    HostPath path;
    if (!ResolveExisting(devicePath, &path)) return INVALID_HANDLE_VALUE;
    // The name as stored, as the device reports it.
    if (HostNameToDevice(path.name, findData->cFileName, MAX_PATH) < 0) {
        FailWith(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    findData->dwFileAttributes = AttributesOf(path.status);
    return NewFind(nullptr, devicePath);
}

HANDLE SystemFindFirst(LPCWSTR fileName, LPWIN32_FIND_DATAW findData)
{
    size_t length = 0;
    while (fileName[length]) ++length;
    size_t nameStart = length;
    while (nameStart > 0 && fileName[nameStart - 1] != u'\\' && fileName[nameStart - 1] != u'/') --nameStart;
    const WCHAR* lastName = fileName + nameStart;
    if (IsMatchAll(lastName)) return FindInFolder(fileName, nameStart > 0 ? nameStart - 1 : 0, findData);
    if (HasWildcard(lastName)) {
        FailWith(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return ProbePath(fileName, findData);
}

BOOL SystemFindNext(HANDLE findFile, LPWIN32_FIND_DATAW findData)
{
    HostFind* find = static_cast<HostFind*>(findFile);
    if (!find->folder) return FailWith(ERROR_NO_MORE_FILES);
    return ReadNextEntry(find, findData);
}

// ---- folders and deletion ----------------------------------------------

BOOL SystemCreateDirectory(LPCWSTR pathName)
{
    HostPath path;
    if (!Resolve(pathName, &path)) return FALSE;
    if (path.exists) return FailWith(ERROR_ALREADY_EXISTS);
    return CreateFolderEntry(&path) || FailWithErrno();
}

BOOL SystemRemoveDirectory(LPCWSTR pathName)
{
    HostPath path;
    if (!ResolveExisting(pathName, &path)) return FALSE;
    if (RemoveEntry(&path, true)) return TRUE;
    FailWithErrno();
    if (errno == EEXIST) t_lastError = ERROR_DIR_NOT_EMPTY;
    return FALSE;
}

BOOL SystemDeleteFile(LPCWSTR fileName)
{
    HostPath path;
    if (!ResolveExisting(fileName, &path)) return FALSE;
    if (S_ISDIR(path.status.st_mode) || IsReadOnly(path.status)) return FailWith(ERROR_ACCESS_DENIED);
    return RemoveEntry(&path, false) || FailWithErrno();
}

// ---- file copy ---------------------------------------------------------

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
    off_t copied = 0;
    while (copied < size) {
        const ssize_t done = g_hostCalls.copyFileRange(source, target, static_cast<size_t>(size - copied));
        if (done > 0) {
            copied += done;
            continue;
        }
        if (done == 0) return true; // it shrank
        if (copied == 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                            errno == EBADF || errno == EPERM))
            return CopyBytesByReadWrite(source, target);
        return false;
    }
    return true;
}

// The copy's source, opened for reading: a regular file, never a link (nor
// a FIFO or device, which opening could block on or act on).
bool OpenCopySource(const WCHAR* devicePath, Descriptor* source, struct stat* status)
{
    HostPath path;
    if (!ResolveExisting(devicePath, &path)) return false;
    if (!S_ISREG(path.status.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    source->fd = g_hostCalls.openat(path.folderFd, path.name, O_RDONLY | kNoLinkFlags, 0);
    if (source->fd < 0) return FailWithErrno();
    if (g_hostCalls.fstat(source->fd, status) != 0) return FailWithErrno();
    return S_ISREG(status->st_mode) || FailWith(ERROR_ACCESS_DENIED);
}

// The copy's destination, opened for writing: a new file, or the file there
// whose name equals the new one ignoring letter case, which keeps its name.
// *created tells whether the file is new.
bool OpenCopyTarget(const WCHAR* devicePath, BOOL failIfExists, const struct stat& source, HostPath* path,
                    Descriptor* target, bool* created)
{
    if (!Resolve(devicePath, path)) return false;
    *created = !path->exists;
    if (*created) {
        target->fd = CreateFileEntry(path, O_WRONLY | kNoLinkFlags, source.st_mode & 0777);
        return target->fd >= 0 || FailWithErrno();
    }
    if (failIfExists) return FailWith(ERROR_FILE_EXISTS);
    const struct stat& status = path->status;
    if (!S_ISREG(status.st_mode) || IsReadOnly(status)) return FailWith(ERROR_ACCESS_DENIED);
    // Copying a file onto itself would truncate it.
    if (status.st_dev == source.st_dev && status.st_ino == source.st_ino) return FailWith(ERROR_ACCESS_DENIED);
    target->fd = g_hostCalls.openat(path->folderFd, path->name, O_WRONLY | kNoLinkFlags, 0);
    return target->fd >= 0 || FailWithErrno();
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
    Descriptor source, target;
    struct stat sourceStatus;
    if (!OpenCopySource(existingFileName, &source, &sourceStatus)) return FALSE;
    HostPath targetPath;
    bool created = false;
    if (!OpenCopyTarget(newFileName, failIfExists, sourceStatus, &targetPath, &target, &created)) return FALSE;
    const int fd = target.Release();
    bool ok = FillCopy(source.fd, fd, sourceStatus, created);
    if (ok) ok = close(fd) == 0;
    else CloseQuietly(fd);
    if (ok) {
        // The job sums a new copy next: a regular file of the source's mode.
        struct stat copy = {};
        copy.st_mode = sourceStatus.st_mode;
        if (created) NoteEntry(u"", 0, newFileName, &copy);
        return TRUE;
    }
    const int error = errno;
    RemoveEntry(&targetPath, false); // no half-written copy is left behind
    errno = error;
    return FailWithErrno();
}

// ---- streams -----------------------------------------------------------

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
    HostStream* stream = static_cast<HostStream*>(cookie);
    return g_hostCalls.readStream(stream->fd, buffer, size, stream->path);
}

int CloseStream(void* cookie)
{
    HostStream* stream = static_cast<HostStream*>(cookie);
    const int result = close(stream->fd);
    free(stream);
    return result;
}

// The file behind a stream, opened for reading only: an existing regular
// file, never through a link.
bool OpenStreamFile(const WCHAR* devicePath, Descriptor* fd)
{
    HostPath path;
    if (!ResolveExisting(devicePath, &path)) return false;
    const struct stat& status = path.status;
    if (S_ISLNK(status.st_mode)) return FailWith(ERROR_CANT_RESOLVE_FILENAME);
    // A folder, FIFO or device is no file to read, and is never opened.
    if (!S_ISREG(status.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    fd->fd = g_hostCalls.openat(path.folderFd, path.name, O_RDONLY | kNoLinkFlags, 0);
    return fd->fd >= 0 || FailWithErrno();
}

// Streams are for reading ("r", "rb", "rt"): the library writes no file
// through one, and any other mode is refused.
FILE* SystemOpenStream(const WCHAR* fileName, const WCHAR* mode)
{
    for (const WCHAR* option = mode + 1; mode[0] == u'r' && *option; ++option)
        if (*option != u'b' && *option != u't') mode = u"";
    if (mode[0] != u'r') {
        FailWith(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Descriptor fd;
    if (!OpenStreamFile(fileName, &fd)) return nullptr;
    HostStream* stream = static_cast<HostStream*>(malloc(sizeof(HostStream)));
    cookie_io_functions_t functions = {ReadStream, nullptr, nullptr, CloseStream}; // not seekable
    FILE* file = stream ? fopencookie(stream, "r", functions) : nullptr;
    if (!file) {
        free(stream);
        FailWith(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    stream->fd = fd.Release();
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

} // namespace

const HostCalls kHostSystemCalls = {
    SystemFindFirst,
    SystemFindNext,
    SystemCreateDirectory,
    SystemRemoveDirectory,
    SystemDeleteFile,
    SystemCopyFile,
    SystemOpenStream,
    SystemReadStream,
    [](int folderFd, const char* name, int flags, mode_t mode) { return openat(folderFd, name, flags, mode); },
    [](int folderFd, const char* name, struct stat* status, int flags) { return fstatat(folderFd, name, status, flags); },
    [](int fd, struct stat* status) { return fstat(fd, status); },
    [](DIR* folder) { return readdir(folder); },
    [](int folderFd, const char* name, mode_t mode) { return mkdirat(folderFd, name, mode); },
    [](int folderFd, const char* name, int flags) { return unlinkat(folderFd, name, flags); },
    [](int fd, off_t length) { return ftruncate(fd, length); },
    [](int source, int target, size_t length) {
        return Restarted([&] { return copy_file_range(source, nullptr, target, nullptr, length, 0); });
    },
    [](int fd, void* buffer, size_t size) { return Restarted([&] { return read(fd, buffer, size); }); },
    [](int fd, const void* buffer, size_t size) { return Restarted([&] { return write(fd, buffer, size); }); },
    [](int fd, mode_t mode) { return fchmod(fd, mode); },
    [](int fd, const struct timespec times[2]) { return futimens(fd, times); },
};
HostCalls g_hostCalls = kHostSystemCalls;

// ---- the services ------------------------------------------------------

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD errorCode) { t_lastError = errorCode; }

BOOL HostSetDeviceRoot(const char* hostFolder)
{
    return SetHostRoot(hostFolder) ? TRUE : FailWithErrno();
}

const WCHAR* HostFindPath(HANDLE findFile)
{
    return findFile == INVALID_HANDLE_VALUE || !findFile ? nullptr : static_cast<HostFind*>(findFile)->path;
}

HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData)
{
    return g_hostCalls.findFirst(fileName, findData);
}

BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findData)
{
    if (findFile == INVALID_HANDLE_VALUE || !findFile) return FailWith(ERROR_INVALID_HANDLE);
    return g_hostCalls.findNext(findFile, findData);
}

BOOL FindClose(HANDLE findFile)
{
    if (findFile == INVALID_HANDLE_VALUE || !findFile) return FailWith(ERROR_INVALID_HANDLE);
    HostFind* find = static_cast<HostFind*>(findFile);
    if (find->folder) closedir(find->folder);
    free(find);
    EndSearch();
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES) { return g_hostCalls.createDirectory(pathName); }
BOOL RemoveDirectoryW(LPCWSTR pathName) { return g_hostCalls.removeDirectory(pathName); }
BOOL DeleteFileW(LPCWSTR fileName) { return g_hostCalls.deleteFile(fileName); }

BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists)
{
    return g_hostCalls.copyFile(existingFileName, newFileName, failIfExists);
}

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

int HostOpenSearches(void) { return OpenSearchCount(); }
