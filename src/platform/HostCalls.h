// The host layer reaches the system through this one table, so that a test
// can count, trace or fail a whole service call (the first part) or one
// system call inside a service (the second): it puts a wrapper in an entry
// and restores it from kHostSystemCalls. The module itself has no fault code.
#ifndef PELK_HOST_CALLS_H
#define PELK_HOST_CALLS_H

#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>

#include "HostFileLayer.h"

struct HostCalls {
    HANDLE (*findFirst)(LPCWSTR fileName, LPWIN32_FIND_DATAW findData);
    BOOL (*findNext)(HANDLE findFile, LPWIN32_FIND_DATAW findData);
    BOOL (*createDirectory)(LPCWSTR pathName);
    BOOL (*removeDirectory)(LPCWSTR pathName);
    BOOL (*deleteFile)(LPCWSTR fileName);
    BOOL (*copyFile)(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists);
    FILE* (*openStream)(const WCHAR* fileName, const WCHAR* mode);
    // A stream's read of its descriptor; path is the device path it was
    // opened with. Returns as read(2) does.
    ssize_t (*readStream)(int fd, void* buffer, size_t size, const WCHAR* path);

    // The system calls, as POSIX defines them (openat always with a mode).
    int (*openat)(int folderFd, const char* name, int flags, mode_t mode);
    int (*fstatat)(int folderFd, const char* name, struct stat* status, int flags);
    int (*fstat)(int fd, struct stat* status);
    struct dirent* (*readdir)(DIR* folder);
    int (*mkdirat)(int folderFd, const char* name, mode_t mode);
    int (*unlinkat)(int folderFd, const char* name, int flags);
    int (*ftruncate)(int fd, off_t length);
    ssize_t (*copyFileRange)(int source, int target, size_t length);
    ssize_t (*read)(int fd, void* buffer, size_t size);
    ssize_t (*write)(int fd, const void* buffer, size_t size);
    int (*fchmod)(int fd, mode_t mode);
    int (*futimens)(int fd, const struct timespec times[2]);
};

extern HostCalls g_hostCalls;
extern const HostCalls kHostSystemCalls;

// The pattern or path a find handle was opened with.
const WCHAR* HostFindPath(HANDLE findFile);

#endif
