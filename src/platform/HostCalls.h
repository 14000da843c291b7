// The host layer's services reach the system through this one table: one
// entry a device service, and one for the reads of a stream. The table holds
// the real implementations; a test puts a wrapper in an entry to count, trace
// or fail that call, and restores the entry from kHostSystemCalls. The module
// itself has no fault code.
#ifndef PELK_HOST_CALLS_H
#define PELK_HOST_CALLS_H

#include <sys/types.h>

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
};

extern HostCalls g_hostCalls;
extern const HostCalls kHostSystemCalls;

// The pattern or path a find handle was opened with.
const WCHAR* HostFindPath(HANDLE findFile);

#endif
