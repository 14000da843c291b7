// How the host file layer finds a device path below the device root, the way
// the device's FAT volumes do: each name is tried as it is first, without
// following a link; only when it is missing, one listing of its folder finds
// the entry whose name equals it ignoring letter case (an exact match wins,
// otherwise the first match in byte order). No link is ever followed.
//
// A service resolves its path once, here, to the name as stored, then makes
// one system call on it. Every folder a path goes through is held by the
// walk, in fixed slots: from the first open search to the last one closed
// they stay open, and the names of the folder last listed or created are
// indexed, so that a folder of thousands of new files is not listed once a
// file; outside a search, what one call opened closes as its path goes. The
// layer changes names only through the functions below, which keep what the
// walk holds true. Like the job, not thread-safe; another process changing
// the tree during a walk is not guarded against.
//
// Internal to the layer.
#ifndef PELK_HOST_LOOKUP_H
#define PELK_HOST_LOOKUP_H

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "HostFileLayer.h"

const size_t kHostPathCapacity = 1024; // 259 UTF-16 units take at most 777 UTF-8 bytes

// A device path resolved: its folder, opened without following links and
// held by the walk, and its last name as stored, or as asked when no entry
// has it.
struct HostPath {
    int folderFd;
    const char* folder; // below the root, names as stored ("" for the root)
    char name[kHostPathCapacity];
    bool exists;
    struct stat status; // the entry's own, never a link's target; when it exists
    HostPath() : folderFd(-1), folder(""), exists(false) {}
    ~HostPath(); // outside a search, closes what the call opened
};

void CloseQuietly(int fd);

// Resolves devicePath; false with errno set when it has no host form
// (EINVAL), a folder on the way is missing (ENOENT) or cannot be read.
bool ResolvePath(const WCHAR* devicePath, HostPath* path);
// The root itself, as the folder of the name ".".
bool ResolveRoot(HostPath* path);

// The layer's changes of names. Each is one system call on the resolved
// path; -1 or false with errno set.
int CreateFileEntry(HostPath* path, int flags, mode_t mode); // a new file: its descriptor
bool CreateFolderEntry(HostPath* path);
bool RemoveEntry(HostPath* path, bool folder);

// An entry whose status the layer has just seen (a search delivered it, a
// copy made it): folder's first units units, then name. The next service on
// that device path needs no look.
void NoteEntry(const WCHAR* folder, size_t units, const WCHAR* name, const struct stat* status);

// A search opened and closed; the walk ends with the last one.
void BeginSearch(void);
void EndSearch(void);
int OpenSearchCount(void);

// The bits the process's umask takes, read once a walk.
mode_t CreationMask(void);

// Points the root elsewhere (null: the current directory at each call);
// false with errno set when the folder cannot be opened.
bool SetHostRoot(const char* hostFolder);

#endif
