// The Windows CE file services on POSIX, with the device's semantics.
//
// Names are found as on the device's FAT volumes, ignoring letter case and
// keeping the case they were created with (HostLookup.h). Every path is
// resolved below the device root without following a symbolic link in any
// folder on the way; a link met as an entry is a file, and deleting it deletes
// the link. Only the source of CopyFileW and a stream opened for reading follow
// a link in their last name, to a regular file inside the root: nothing
// outside the root is reached through a link.
#include "HostFaults.h"
#include "HostLookup.h"

#include <atomic>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;

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
        int released = fd;
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
    if (t_lastError == ERROR_FILE_NOT_FOUND) t_lastError = ERROR_PATH_NOT_FOUND;
    return false;
}

// Runs operation on the entry's name; when that name is missing, on the
// entry it names ignoring letter case, if there is one (*name tells which).
template <typename Operation>
int OnNameOnDisk(const HostPath* path, const char** name, char* variant, Operation operation)
{
    *name = path->name;
    int result = operation(path->name);
    if (result >= 0 || errno != ENOENT) return result;
    if (!FindNameIgnoringCase(path, variant)) {
        errno = ENOENT;
        return result;
    }
    *name = variant;
    return operation(variant);
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
    Descriptor folderFd;
    if (folderLength == 0) {
        folderFd.fd = openat(g_hostRootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } else {
        WCHAR folderPath[MAX_PATH];
        memcpy(folderPath, pattern, folderLength * sizeof(WCHAR));
        folderPath[folderLength] = 0;
        HostPath path;
        if (!Resolve(folderPath, &path)) return INVALID_HANDLE_VALUE;
        const char* name;
        char variant[kHostPathCapacity];
        folderFd.fd = OnNameOnDisk(&path, &name, variant, [&](const char* candidate) {
            return openat(path.folderFd, candidate, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        });
    }
    if (folderFd.fd < 0) {
        FailWithErrno();
        return INVALID_HANDLE_VALUE;
    }
    DIR* folder = fdopendir(folderFd.fd);
    if (!folder) {
        FailWithErrno();
        return INVALID_HANDLE_VALUE;
    }
    folderFd.Release(); // the DIR owns it now
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
    if (!Resolve(devicePath, &path)) return INVALID_HANDLE_VALUE;
    struct stat status;
    const char* name;
    char variant[kHostPathCapacity];
    if (OnNameOnDisk(&path, &name, variant, [&](const char* candidate) {
            return fstatat(path.folderFd, candidate, &status, AT_SYMLINK_NOFOLLOW);
        }) != 0) {
        FailWithErrno();
        return INVALID_HANDLE_VALUE;
    }
    // The name as stored, as the device reports it.
    if (HostNameToDevice(name, findData->cFileName, MAX_PATH) < 0) {
        FailWith(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
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

// Copies the source's bytes up to the size it had when opened: a file that
// grows meanwhile is copied as it was, and no call is spent on finding the end.
bool CopyBytes(int source, int target, off_t size)
{
    off_t copied = 0;
    while (copied < size) {
        ssize_t done = copy_file_range(source, nullptr, target, nullptr, static_cast<size_t>(size - copied), 0);
        if (done > 0) {
            copied += done;
            continue;
        }
        if (done == 0) return true; // it shrank
        if (errno == EINTR) continue;
        if (copied == 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                            errno == EBADF || errno == EPERM))
            return CopyBytesByReadWrite(source, target);
        return false;
    }
    return true;
}

// The process's umask as Linux reports it, read once; -1 when unknown.
int ProcessUmask()
{
    static int s_umask = -2;
    if (s_umask != -2) return s_umask;
    s_umask = -1;
    if (FILE* status = fopen("/proc/self/status", "re")) {
        char line[128];
        unsigned value;
        while (fgets(line, sizeof line, status))
            if (sscanf(line, "Umask: %o", &value) == 1) s_umask = static_cast<int>(value & 0777);
        fclose(status);
    }
    return s_umask;
}

// The copy's source, opened for reading: a regular file, or a link to one
// inside the root. status is the file's.
bool OpenCopySource(const WCHAR* devicePath, Descriptor* source, struct stat* status)
{
    HostPath path;
    if (!Resolve(devicePath, &path)) return false;
    // Look before opening: opening a FIFO or a device could block or act.
    const char* name;
    char variant[kHostPathCapacity];
    if (OnNameOnDisk(&path, &name, variant, [&](const char* candidate) {
            return fstatat(path.folderFd, candidate, status, AT_SYMLINK_NOFOLLOW);
        }) != 0)
        return FailWithErrno();
    const int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (S_ISLNK(status->st_mode)) source->fd = OpenLinkedFileInRoot(&path, name, flags);
    else if (S_ISREG(status->st_mode)) source->fd = openat(path.folderFd, name, flags | O_NOFOLLOW);
    else return FailWith(ERROR_ACCESS_DENIED);
    if (source->fd < 0) return errno == EXDEV ? FailWith(ERROR_ACCESS_DENIED) : FailWithErrno();
    if (fstat(source->fd, status) != 0 || !S_ISREG(status->st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    return true;
}

// The copy's destination, opened for writing: a new file, or the file there
// whose name equals the new one ignoring letter case, which keeps its name.
// name receives the name on disk; *created tells whether the file is new.
bool OpenCopyTarget(const WCHAR* devicePath, BOOL failIfExists, const struct stat& source, HostPath* path, char* name,
                    Descriptor* target, bool* created)
{
    if (!Resolve(devicePath, path)) return false;
    *created = false;
    bool exact = false;
    if (!LookUpNameIgnoringCase(path, name, &exact)) {
        memcpy(name, path->name, strlen(path->name) + 1);
        target->fd = openat(path->folderFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            source.st_mode & 0777);
        if (target->fd >= 0) {
            *created = true;
            return true;
        }
        if (errno != EEXIST) return FailWithErrno();
    }
    if (failIfExists) return FailWith(ERROR_FILE_EXISTS);
    target->fd = openat(path->folderFd, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (target->fd < 0) {
        // A link there is never written through.
        return errno == ELOOP ? FailWith(ERROR_ACCESS_DENIED) : FailWithErrno();
    }
    struct stat status;
    if (fstat(target->fd, &status) != 0 || !S_ISREG(status.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    // Copying a file onto itself would truncate it.
    if (status.st_dev == source.st_dev && status.st_ino == source.st_ino) return FailWith(ERROR_ACCESS_DENIED);
    return true;
}

// The file behind a stream: for reading, an existing regular file or a link
// to one inside the root; for writing, never through a link, and an existing
// name in another letter case is the file written.
bool OpenStreamFile(const WCHAR* devicePath, int flags, Descriptor* fd)
{
    HostPath path;
    if (!Resolve(devicePath, &path)) return false;
    const int openFlags = flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const char* name;
    char variant[kHostPathCapacity];
    fd->fd = OnNameOnDisk(&path, &name, variant,
                          [&](const char* candidate) { return openat(path.folderFd, candidate, openFlags & ~O_CREAT); });
    if (fd->fd < 0 && errno == ELOOP && flags == O_RDONLY) {
        fd->fd = OpenLinkedFileInRoot(&path, name, openFlags & ~O_NOFOLLOW);
    } else if (fd->fd < 0 && errno == ENOENT && (flags & O_CREAT)) {
        name = path.name;
        fd->fd = openat(path.folderFd, name, openFlags | O_EXCL, 0666);
        if (fd->fd >= 0) NoteNameAdded(&path, name);
    }
    if (fd->fd < 0) return errno == ELOOP || errno == EXDEV ? FailWith(ERROR_ACCESS_DENIED) : FailWithErrno();
    // A folder, FIFO or device is no file to read. O_NONBLOCK stays: it means
    // nothing to a regular file.
    struct stat status;
    if (fstat(fd->fd, &status) != 0 || !S_ISREG(status.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    return true;
}

} // namespace

// ---- the services ------------------------------------------------------

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD errorCode) { t_lastError = errorCode; }

BOOL HostSetDeviceRoot(const char* hostFolder)
{
    return SetHostRoot(hostFolder) ? TRUE : FailWithErrno();
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
    if (!Resolve(pathName, &path)) return FALSE;
    char existing[kHostPathCapacity];
    if (FindNameIgnoringCase(&path, existing)) return FailWith(ERROR_ALREADY_EXISTS);
    if (mkdirat(path.folderFd, path.name, 0777) != 0) return FailWithErrno();
    NoteNameAdded(&path, path.name);
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR pathName)
{
    if (HostCallFails(SERVICE_REMOVE_DIRECTORY, pathName)) return FailWith(ERROR_WRITE_FAULT);
    if (HostWriteFails(SERVICE_REMOVE_DIRECTORY, pathName)) return FailWith(ERROR_ACCESS_DENIED);
    HostPath path;
    if (!Resolve(pathName, &path)) return FALSE;
    const char* name;
    char variant[kHostPathCapacity];
    if (OnNameOnDisk(&path, &name, variant,
                     [&](const char* candidate) { return unlinkat(path.folderFd, candidate, AT_REMOVEDIR); }) != 0) {
        FailWithErrno();
        if (errno == EEXIST) t_lastError = ERROR_DIR_NOT_EMPTY;
        return FALSE;
    }
    NoteNameRemoved(&path, name);
    return TRUE;
}

BOOL DeleteFileW(LPCWSTR fileName)
{
    if (HostCallFails(SERVICE_DELETE_FILE, fileName)) return FailWith(ERROR_WRITE_FAULT);
    if (HostWriteFails(SERVICE_DELETE_FILE, fileName)) return FailWith(ERROR_ACCESS_DENIED);
    HostPath path;
    if (!Resolve(fileName, &path)) return FALSE;
    const char* name;
    char variant[kHostPathCapacity];
    if (OnNameOnDisk(&path, &name, variant,
                     [&](const char* candidate) { return unlinkat(path.folderFd, candidate, 0); }) != 0)
        return FailWithErrno();
    NoteNameRemoved(&path, name);
    return TRUE;
}

BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists)
{
    if (HostCallFails(SERVICE_COPY_FILE, existingFileName)) return FailWith(ERROR_WRITE_FAULT);
    if (HostWriteFails(SERVICE_COPY_FILE, newFileName)) return FailWith(ERROR_ACCESS_DENIED);
    Descriptor source, target;
    struct stat sourceStatus;
    if (!OpenCopySource(existingFileName, &source, &sourceStatus)) return FALSE;
    HostPath targetPath;
    char targetName[kHostPathCapacity];
    bool created = false;
    if (!OpenCopyTarget(newFileName, failIfExists, sourceStatus, &targetPath, targetName, &target, &created))
        return FALSE;

    const int fd = target.Release();
    bool ok = (created || ftruncate(fd, 0) == 0) && CopyBytes(source.fd, fd, sourceStatus.st_size);
    if (ok) {
        // A new file got the source's permissions when created, less the umask.
        const mode_t mode = sourceStatus.st_mode & 0777;
        const int umask = ProcessUmask();
        if (!created || umask < 0 || (mode & static_cast<mode_t>(umask)) != 0) ok = fchmod(fd, mode) == 0;
        struct timespec times[2] = {sourceStatus.st_atim, sourceStatus.st_mtim};
        ok = ok && futimens(fd, times) == 0;
    }
    if (ok) {
        ok = close(fd) == 0;
    } else {
        CloseQuietly(fd);
    }
    if (ok) {
        if (created) NoteNameAdded(&targetPath, targetName);
        return TRUE;
    }
    const int error = errno;
    if (unlinkat(targetPath.folderFd, targetName, 0) == 0 && !created) // no half-written copy is left behind
        NoteNameRemoved(&targetPath, targetName);
    errno = error;
    return FailWithErrno();
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
    if (HostStreamWriteFails(fileName, mode)) {
        FailWith(ERROR_ACCESS_DENIED);
        return nullptr;
    }
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

    Descriptor fd;
    if (!OpenStreamFile(fileName, flags, &fd)) return nullptr;
    // Owned here until the stream takes it.
    struct Record {
        HostStream* stream = static_cast<HostStream*>(malloc(sizeof(HostStream)));
        ~Record() { free(stream); }
    } record;
    if (!record.stream) {
        FailWith(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    record.stream->fd = fd.fd;
    CopyDevicePath(record.stream->path, fileName);
    cookie_io_functions_t functions = {ReadStream, WriteStream, SeekStream, CloseStream};
    FILE* file = fopencookie(record.stream, hostMode, functions);
    if (!file) {
        FailWith(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    setvbuf(file, record.stream->buffer, _IOFBF, kStreamBuffer);
    record.stream = nullptr;
    fd.Release();
    g_hostOpenStreams.fetch_add(1, std::memory_order_relaxed);
    return file;
}
