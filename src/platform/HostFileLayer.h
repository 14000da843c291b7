// Host file layer: the Windows CE file services the library uses, on POSIX
// (docs/host-layer.md). Device paths are UTF-16 with "\" (or "/") between
// names, below the device root: the current directory at each call, unless
// HostSetDeviceRoot points it elsewhere.
#ifndef PELK_HOST_FILE_LAYER_H
#define PELK_HOST_FILE_LAYER_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

typedef char16_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef int BOOL;
typedef uint32_t DWORD;
typedef void* HANDLE;
typedef void* HINSTANCE;
typedef void* LPVOID;
typedef void* LPSECURITY_ATTRIBUTES;

#define TEXT(quote) u##quote
#define WINAPI
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define FILE_ATTRIBUTE_READONLY 0x01
#define FILE_ATTRIBUTE_DIRECTORY 0x10
#define FILE_ATTRIBUTE_NORMAL 0x80

// The Win32 error codes the layer sets and the library and tools name.
enum : DWORD {
    ERROR_SUCCESS = 0, ERROR_FILE_NOT_FOUND = 2, ERROR_PATH_NOT_FOUND = 3, ERROR_TOO_MANY_OPEN_FILES = 4,
    ERROR_ACCESS_DENIED = 5, ERROR_INVALID_HANDLE = 6, ERROR_NOT_ENOUGH_MEMORY = 8, ERROR_NO_MORE_FILES = 18,
    ERROR_NOT_READY = 21, ERROR_WRITE_FAULT = 29, ERROR_READ_FAULT = 30, ERROR_GEN_FAILURE = 31,
    ERROR_HANDLE_DISK_FULL = 39, ERROR_NOT_SUPPORTED = 50, ERROR_FILE_EXISTS = 80, ERROR_INVALID_PARAMETER = 87,
    ERROR_INVALID_NAME = 123, ERROR_DIR_NOT_EMPTY = 145, ERROR_BUSY = 170, ERROR_ALREADY_EXISTS = 183,
    ERROR_FILENAME_EXCED_RANGE = 206, ERROR_FILE_TOO_LARGE = 223, ERROR_DIRECTORY = 267, ERROR_IO_DEVICE = 1117,
    ERROR_CANT_RESOLVE_FILENAME = 1921,
};

// Of the Win32 record, only what the device's walk reads.
struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    WCHAR cFileName[MAX_PATH];
};
typedef WIN32_FIND_DATAW* LPWIN32_FIND_DATAW;

HANDLE FindFirstFileW(LPCWSTR fileName, LPWIN32_FIND_DATAW findData);
BOOL FindNextFileW(HANDLE findFile, LPWIN32_FIND_DATAW findData);
BOOL FindClose(HANDLE findFile);
BOOL CreateDirectoryW(LPCWSTR pathName, LPSECURITY_ATTRIBUTES securityAttributes);
BOOL RemoveDirectoryW(LPCWSTR pathName);
BOOL DeleteFileW(LPCWSTR fileName);
BOOL CopyFileW(LPCWSTR existingFileName, LPCWSTR newFileName, BOOL failIfExists);
int _wcsicmp(const WCHAR* left, const WCHAR* right);
FILE* _wfopen(const WCHAR* fileName, const WCHAR* mode);
DWORD GetLastError(void);
void SetLastError(DWORD errorCode);

// A folder, or null for the current directory; FALSE (the root as it was)
// when the folder cannot be opened.
BOOL HostSetDeviceRoot(const char* hostFolder);
// Find handles open now; while none is, the layer holds nothing.
int HostOpenSearches(void);

// Names between the device and the host (host bytes that are not UTF-8 as
// U+DC80..U+DCFF, characters Win32 forbids in names as U+F000 plus the
// character). Each capacity counts the terminator; each returns the length
// written, or -1 when it does not fit or there is none: for a device name
// (units units) that is empty, "." or "..", holds a separator, a raw
// forbidden character or an unpaired surrogate that is no escaped byte.
int HostNameFromDevice(const WCHAR* name, size_t units, char* hostName, int capacity);
// One host name (UTF-8 or not) in its device form; always has one.
int HostNameToDevice(const char* hostName, WCHAR* deviceName, int capacity);
// A device path, name by name, as the host path below the device root:
// "/" separators, no leading "/" ("" for the root).
int HostPathFromDevice(const WCHAR* devicePath, char* hostPath, int capacity);

// One UTF-16 unit of a name as the device's volumes compare names: simple
// upper-casing (Latin, Greek, Cyrillic and the rest); surrogates unchanged.
WCHAR HostFoldUnit(WCHAR unit);

#endif
