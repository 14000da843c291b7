// The Windows CE file services on POSIX, with the device's semantics.
//
// Every path is resolved below the device root without following a symbolic
// link in any folder on the way, so no operation can reach outside the root
// through a link; a link met as an entry is a file, and deleting it deletes
// the link. Only the source of CopyFileW and a stream opened for reading
// follow a link in their last component, to a regular file.
#include "HostFaults.h"

#include <atomic>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

extern std::atomic<int> g_hostOpenFindHandles;
extern std::atomic<int> g_hostOpenStreams;

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;
int g_rootFd = AT_FDCWD;

const size_t kHostPathCapacity = 1024; // 259 UTF-16 units take at most 777 UTF-8 bytes
const size_t kStreamBuffer = 64 * 1024;
const size_t kCopyBuffer = 128 * 1024;

DWORD ErrorFromErrno(int error)
{
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case EISDIR: return ERROR_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT: return ERROR_HANDLE_DISK_FULL;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ELOOP:
    case EXDEV: return ERROR_CANT_RESOLVE_FILENAME;
    default: return ERROR_ACCESS_DENIED;
    }
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

void CloseQuietly(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

int OpenFolderNoLinks(const char* hostFolder)
{
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    static bool s_noOpenat2 = false;
    if (!s_noOpenat2) {
        long fd = syscall(SYS_openat2, g_rootFd, hostFolder, &how, sizeof how);
        if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
        s_noOpenat2 = true;
    }
    // Kernels (and emulators) without openat2: one folder at a time.
    char component[NAME_MAX + 1];
    int folderFd = g_rootFd;
    const char* cursor = hostFolder;
    while (*cursor) {
        const char* slash = strchr(cursor, '/');
        size_t length = slash ? static_cast<size_t>(slash - cursor) : strlen(cursor);
        if (length > NAME_MAX) {
            if (folderFd != g_rootFd) CloseQuietly(folderFd);
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(component, cursor, length);
        component[length] = 0;
        int next = openat(folderFd, component, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folderFd != g_rootFd) CloseQuietly(folderFd);
        if (next < 0) return -1;
        folderFd = next;
        cursor = slash ? slash + 1 : cursor + length;
    }
    if (folderFd == g_rootFd) return openat(g_rootFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return folderFd;
}

// A device path resolved to its parent folder (opened without following
// links) and its last name.
struct HostPath {
    int folderFd;
    char name[kHostPathCapacity];
};

void ReleasePath(HostPath* path)
{
    if (path->folderFd >= 0 && path->folderFd != g_rootFd) CloseQuietly(path->folderFd);
    path->folderFd = -1;
}

// Fills path; on failure sets the last error and returns FALSE.
BOOL ResolvePath(const WCHAR* devicePath, HostPath* path)
{
    path->folderFd = -1;
    char hostPath[kHostPathCapacity];
    int length = HostPathFromDevice(devicePath, hostPath, sizeof hostPath);
    if (length <= 0) return FailWith(ERROR_INVALID_NAME);
    char* slash = strrchr(hostPath, '/');
    if (!slash) {
        memcpy(path->name, hostPath, static_cast<size_t>(length) + 1);
        path->folderFd = g_rootFd;
        return TRUE;
    }
    if (slash[1] == 0) return FailWith(ERROR_INVALID_NAME);
    memcpy(path->name, slash + 1, strlen(slash + 1) + 1);
    *slash = 0;
    path->folderFd = OpenFolderNoLinks(hostPath);
    if (path->folderFd < 0) {
        BOOL result = FailWithErrno();
        if (t_lastError == ERROR_FILE_NOT_FOUND) t_lastError = ERROR_PATH_NOT_FOUND;
        return result;
    }
    return TRUE;
}

// ---- find handles ----------------------------------------------------------

struct HostFind {
    DIR* folder; // null for an existence probe, which has one entry only
    WCHAR pattern[MAX_PATH];
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

void CopyDevicePath(WCHAR* target, const WCHAR* source)
{
    size_t i = 0;
    for (; i + 1 < MAX_PATH && source[i]; ++i) target[i] = source[i];
    target[i] = 0;
}

DWORD AttributesOf(const struct stat& status)
{
    DWORD attributes = S_ISDIR(status.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
    if (!(status.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes;
}

// Reads the next entry other than "." and ".."; FALSE at the end or on error.
BOOL ReadNextEntry(HostFind* find, LPWIN32_FIND_DATAW findData)
{
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(find->folder);
        if (!entry) return errno ? FailWithErrno() : FailWith(ERROR_NO_MORE_FILES);
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        if (HostNameToDevice(name, findData->cFileName, MAX_PATH) < 0) return FailWith(ERROR_FILENAME_EXCED_RANGE);
        if (entry->d_type == DT_DIR) {
            findData->dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
        } else if (entry->d_type != DT_UNKNOWN) {
            findData->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
        } else {
            struct stat status;
            if (fstatat(dirfd(find->folder), name, &status, AT_SYMLINK_NOFOLLOW) != 0) return FailWithErrno();
            findData->dwFileAttributes = AttributesOf(status);
        }
        return TRUE;
    }
}

HANDLE NewFind(DIR* folder, const WCHAR* pattern)
{
    HostFind* find = static_cast<HostFind*>(malloc(sizeof(HostFind)));
    if (!find) {
        if (folder) closedir(folder);
        FailWith(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    find->folder = folder;
    CopyDevicePath(find->pattern, pattern);
    g_hostOpenFindHandles.fetch_add(1, std::memory_order_relaxed);
    return find;
}

HANDLE FindInFolder(const WCHAR* pattern, size_t folderLength, LPWIN32_FIND_DATAW findData)
{
    int folderFd;
    if (folderLength == 0) {
        folderFd = openat(g_rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else {
        WCHAR folderPath[MAX_PATH];
        memcpy(folderPath, pattern, folderLength * sizeof(WCHAR));
        folderPath[folderLength] = 0;
        HostPath path;
        if (!ResolvePath(folderPath, &path)) return INVALID_HANDLE_VALUE;
        folderFd = openat(path.folderFd, path.name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        ReleasePath(&path);
    }
    if (folderFd < 0) {
        FailWithErrno();
        return INVALID_HANDLE_VALUE;
    }
    DIR* folder = fdopendir(folderFd);
    if (!folder) {
        FailWithErrno();
        CloseQuietly(folderFd);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = NewFind(folder, pattern);
    if (handle == INVALID_HANDLE_VALUE) return handle;
    if (!ReadNextEntry(static_cast<HostFind*>(handle), findData)) {
        DWORD error = t_lastError;
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
    if (!ResolvePath(devicePath, &path)) return INVALID_HANDLE_VALUE;
    struct stat status;
    int result = fstatat(path.folderFd, path.name, &status, AT_SYMLINK_NOFOLLOW);
    if (result != 0) {
        FailWithErrno();
        ReleasePath(&path);
        return INVALID_HANDLE_VALUE;
    }
    if (HostNameToDevice(path.name, findData->cFileName, MAX_PATH) < 0) {
        ReleasePath(&path);
        FailWith(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    ReleasePath(&path);
    findData->dwFileAttributes = AttributesOf(status);
    return NewFind(nullptr, devicePath);
}

// ---- streams -----------------------------------------------------------

struct HostStream {
    int fd;
    WCHAR path[MAX_PATH];
    // Given to setvbuf: with a null buffer glibc ignores the size asked for
    // and allocates BUFSIZ (8 KiB) on the first read.
    char buffer[kStreamBuffer];
};

ssize_t ReadStream(void* cookie, char* buffer, size_t size)
{
    HostStream* stream = static_cast<HostStream*>(cookie);
    if (HostCallFails(SERVICE_READ_STREAM, stream->path)) {
        errno = EIO;
        return -1;
    }
    for (;;) {
        ssize_t got = read(stream->fd, buffer, size);
        if (got >= 0 || errno != EINTR) return got;
    }
}

ssize_t WriteStream(void* cookie, const char* buffer, size_t size)
{
    HostStream* stream = static_cast<HostStream*>(cookie);
    size_t done = 0;
    while (done < size) {
        ssize_t wrote = write(stream->fd, buffer + done, size - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return done ? static_cast<ssize_t>(done) : -1;
        }
        done += static_cast<size_t>(wrote);
    }
    return static_cast<ssize_t>(done);
}

int SeekStream(void* cookie, off64_t* offset, int whence)
{
    HostStream* stream = static_cast<HostStream*>(cookie);
    off_t result = lseek(stream->fd, *offset, whence);
    if (result < 0) return -1;
    *offset = result;
    return 0;
}

int CloseStream(void* cookie)
{
    HostStream* stream = static_cast<HostStream*>(cookie);
    int result = close(stream->fd);
    free(stream);
    g_hostOpenStreams.fetch_sub(1, std::memory_order_relaxed);
    return result;
}

// ---- file copy ---------------------------------------------------------

bool CopyBytesByReadWrite(int source, int target)
{
    char* buffer = static_cast<char*>(malloc(kCopyBuffer));
    if (!buffer) {
        errno = ENOMEM;
        return false;
    }
    bool ok = true;
    for (;;) {
        ssize_t got = read(source, buffer, kCopyBuffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ssize_t done = 0;
        while (done < got) {
            ssize_t wrote = write(target, buffer + done, static_cast<size_t>(got - done));
            if (wrote < 0 && errno == EINTR) continue;
            if (wrote <= 0) {
                if (wrote == 0) errno = ENOSPC;
                ok = false;
                break;
            }
            done += wrote;
        }
        if (!ok) break;
    }
    int saved = errno;
    free(buffer);
    errno = saved;
    return ok;
}

bool CopyBytes(int source, int target)
{
    bool firstCall = true;
    for (;;) {
        ssize_t copied = copy_file_range(source, nullptr, target, nullptr, 1u << 30, 0);
        if (copied > 0) {
            firstCall = false;
            continue;
        }
        if (copied == 0) return true;
        if (errno == EINTR) continue;
        if (firstCall && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                          errno == EBADF || errno == EPERM))
            return CopyBytesByReadWrite(source, target);
        return false;
    }
}

} // namespace

// ---- the services ------------------------------------------------------

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD errorCode) { t_lastError = errorCode; }

BOOL HostSetDeviceRoot(const char* hostFolder)
{
    int fd = AT_FDCWD;
    if (hostFolder) {
        fd = open(hostFolder, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return FailWithErrno();
    }
    if (g_rootFd != AT_FDCWD) close(g_rootFd);
    g_rootFd = fd;
    return TRUE;
}

HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData)
{
    if (HostCallFails(SERVICE_FIND_FIRST, fileName)) {
        FailWith(ERROR_READ_FAULT);
        return INVALID_HANDLE_VALUE;
    }
    size_t length = 0;
    while (fileName[length]) ++length;
    size_t nameStart = length;
    while (nameStart > 0 && fileName[nameStart - 1] != u'\\' && fileName[nameStart - 1] != u'/') --nameStart;
    const WCHAR* lastName = fileName + nameStart;
    if (IsMatchAll(lastName)) {
        size_t folderLength = nameStart > 0 ? nameStart - 1 : 0;
        return FindInFolder(fileName, folderLength, findData);
    }
    if (HasWildcard(lastName)) {
        FailWith(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    return ProbePath(fileName, findData);
}

BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findData)
{
    if (findFile == INVALID_HANDLE_VALUE || !findFile) return FailWith(ERROR_INVALID_HANDLE);
    HostFind* find = static_cast<HostFind*>(findFile);
    if (HostCallFails(SERVICE_FIND_NEXT, find->pattern)) return FailWith(ERROR_READ_FAULT);
    if (!find->folder) return FailWith(ERROR_NO_MORE_FILES);
    return ReadNextEntry(find, findData);
}

BOOL FindClose(HANDLE findFile)
{
    if (findFile == INVALID_HANDLE_VALUE || !findFile) return FailWith(ERROR_INVALID_HANDLE);
    HostFind* find = static_cast<HostFind*>(findFile);
    if (find->folder) closedir(find->folder);
    free(find);
    g_hostOpenFindHandles.fetch_sub(1, std::memory_order_relaxed);
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES)
{
    if (HostCallFails(SERVICE_CREATE_DIRECTORY, pathName)) return FailWith(ERROR_WRITE_FAULT);
    if (HostWriteFails(SERVICE_CREATE_DIRECTORY, pathName)) return FailWith(ERROR_ACCESS_DENIED);
    HostPath path;
    if (!ResolvePath(pathName, &path)) return FALSE;
    int result = mkdirat(path.folderFd, path.name, 0777);
    BOOL ok = result == 0 ? TRUE : FailWithErrno();
    ReleasePath(&path);
    return ok;
}

BOOL RemoveDirectoryW(LPCWSTR pathName)
{
    if (HostCallFails(SERVICE_REMOVE_DIRECTORY, pathName)) return FailWith(ERROR_WRITE_FAULT);
    if (HostWriteFails(SERVICE_REMOVE_DIRECTORY, pathName)) return FailWith(ERROR_ACCESS_DENIED);
    HostPath path;
    if (!ResolvePath(pathName, &path)) return FALSE;
    int result = unlinkat(path.folderFd, path.name, AT_REMOVEDIR);
    BOOL ok = result == 0 ? TRUE : FailWithErrno();
    if (!ok && errno == EEXIST) t_lastError = ERROR_DIR_NOT_EMPTY;
    ReleasePath(&path);
    return ok;
}

BOOL DeleteFileW(LPCWSTR fileName)
{
    if (HostCallFails(SERVICE_DELETE_FILE, fileName)) return FailWith(ERROR_WRITE_FAULT);
    if (HostWriteFails(SERVICE_DELETE_FILE, fileName)) return FailWith(ERROR_ACCESS_DENIED);
    HostPath path;
    if (!ResolvePath(fileName, &path)) return FALSE;
    int result = unlinkat(path.folderFd, path.name, 0);
    BOOL ok = result == 0 ? TRUE : FailWithErrno();
    ReleasePath(&path);
    return ok;
}

BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists)
{
    if (HostCallFails(SERVICE_COPY_FILE, existingFileName)) return FailWith(ERROR_WRITE_FAULT);
    if (HostWriteFails(SERVICE_COPY_FILE, newFileName)) return FailWith(ERROR_ACCESS_DENIED);

    HostPath sourcePath;
    if (!ResolvePath(existingFileName, &sourcePath)) return FALSE;
    // Look before opening: opening a FIFO or a device could block or act.
    struct stat sourceStatus;
    if (fstatat(sourcePath.folderFd, sourcePath.name, &sourceStatus, 0) != 0) {
        ReleasePath(&sourcePath);
        return FailWithErrno();
    }
    if (!S_ISREG(sourceStatus.st_mode)) {
        ReleasePath(&sourcePath);
        return FailWith(ERROR_ACCESS_DENIED);
    }
    int source = openat(sourcePath.folderFd, sourcePath.name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    ReleasePath(&sourcePath);
    if (source < 0) return FailWithErrno();
    if (fstat(source, &sourceStatus) != 0 || !S_ISREG(sourceStatus.st_mode)) {
        CloseQuietly(source);
        return FailWith(ERROR_ACCESS_DENIED);
    }

    HostPath targetPath;
    if (!ResolvePath(newFileName, &targetPath)) {
        CloseQuietly(source);
        return FALSE;
    }
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (failIfExists) flags |= O_EXCL;
    int target = openat(targetPath.folderFd, targetPath.name, flags, 0600);
    if (target < 0) {
        BOOL result = FailWithErrno();
        if (errno == ELOOP) t_lastError = ERROR_ACCESS_DENIED; // the target is a link: never written through
        ReleasePath(&targetPath);
        CloseQuietly(source);
        return result;
    }
    struct stat targetStatus;
    bool ok = fstat(target, &targetStatus) == 0 && S_ISREG(targetStatus.st_mode);
    if (!ok) {
        errno = EISDIR;
    } else if (targetStatus.st_dev == sourceStatus.st_dev && targetStatus.st_ino == sourceStatus.st_ino) {
        errno = EINVAL; // copying a file onto itself would truncate it
        ok = false;
    } else {
        ok = ftruncate(target, 0) == 0 && CopyBytes(source, target);
        if (ok) {
            struct timespec times[2] = {sourceStatus.st_atim, sourceStatus.st_mtim};
            ok = fchmod(target, sourceStatus.st_mode & 0777) == 0 && futimens(target, times) == 0;
        }
        if (ok) ok = close(target) == 0;
        else CloseQuietly(target);
        target = -1;
        if (!ok) {
            int saved = errno;
            unlinkat(targetPath.folderFd, targetPath.name, 0); // no half-written copy is left behind
            errno = saved;
        }
    }
    if (target >= 0) CloseQuietly(target);
    BOOL result = ok ? TRUE : FailWithErrno();
    ReleasePath(&targetPath);
    CloseQuietly(source);
    return result;
}

int _wcsicmp(const WCHAR* left, const WCHAR* right)
{
    for (;; ++left, ++right) {
        unsigned a = *left, b = *right;
        if (a >= 'A' && a <= 'Z') a += 'a' - 'A';
        if (b >= 'A' && b <= 'Z') b += 'a' - 'A';
        if (a != b || a == 0) return static_cast<int>(a) - static_cast<int>(b);
    }
}

FILE* _wfopen(const WCHAR* fileName, const WCHAR* mode)
{
    if (HostCallFails(SERVICE_OPEN_STREAM, fileName)) {
        FailWith(ERROR_READ_FAULT);
        return nullptr;
    }
    if (HostStreamWriteFails(fileName, mode)) return FailWith(ERROR_ACCESS_DENIED), nullptr;
    int flags;
    char hostMode[4] = {0};
    switch (mode[0]) {
    case u'r': flags = O_RDONLY; hostMode[0] = 'r'; break;
    case u'w': flags = O_WRONLY | O_CREAT | O_TRUNC; hostMode[0] = 'w'; break;
    case u'a': flags = O_WRONLY | O_CREAT | O_APPEND; hostMode[0] = 'a'; break;
    default: FailWith(ERROR_INVALID_PARAMETER); return nullptr;
    }
    for (const WCHAR* option = mode + 1; *option; ++option) {
        if (*option == u'+') {
            flags = (flags & ~(O_RDONLY | O_WRONLY)) | O_RDWR;
            hostMode[1] = '+';
        } else if (*option != u'b' && *option != u't') {
            FailWith(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
    }

    if (flags != O_RDONLY) flags |= O_NOFOLLOW; // never write through a link
    HostPath path;
    if (!ResolvePath(fileName, &path)) return nullptr;
    int fd = openat(path.folderFd, path.name, flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
    ReleasePath(&path);
    if (fd < 0) {
        FailWithErrno();
        return nullptr;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        CloseQuietly(fd);
        FailWith(ERROR_ACCESS_DENIED); // a folder, FIFO or device is no file to read
        return nullptr;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);

    HostStream* stream = static_cast<HostStream*>(malloc(sizeof(HostStream)));
    if (!stream) {
        CloseQuietly(fd);
        FailWith(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    stream->fd = fd;
    CopyDevicePath(stream->path, fileName);
    cookie_io_functions_t functions = {ReadStream, WriteStream, SeekStream, CloseStream};
    FILE* file = fopencookie(stream, hostMode, functions);
    if (!file) {
        CloseQuietly(fd);
        free(stream);
        FailWith(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    g_hostOpenStreams.fetch_add(1, std::memory_order_relaxed);
    setvbuf(file, stream->buffer, _IOFBF, kStreamBuffer);
    return file;
}
