// How the host file layer finds a device path below the device root, the way
// the device's FAT volumes do: each name is tried as it is first, without
// following a link; only when it is missing, one listing of its folder finds
// the entry whose name equals it ignoring letter case (an exact match wins,
// otherwise the first match in byte order). No link is ever followed.
//
// Nothing is kept between calls but the device root's path. While a search
// is open (a walk), the folders the walk uses stay open and the names of the
// folder being filled are indexed; both go when the last search closes, so a
// job holds nothing once it has returned. Like the job, not thread-safe;
// another process changing the tree during a walk is not guarded against.
//
// Internal to the layer.
#ifndef PELK_HOST_LOOKUP_H
#define PELK_HOST_LOOKUP_H

#include <stddef.h>
#include <sys/types.h>

#include "HostFileLayer.h"

const size_t kHostPathCapacity = 1024; // 259 UTF-16 units take at most 777 UTF-8 bytes

// A device path resolved to its folder, opened without following links, and
// its last name as asked. Closes what it opened itself; what a walk keeps
// open stays open.
struct HostPath {
    int folderFd = -1;
    char folder[kHostPathCapacity] = {0}; // the folder as asked, below the root ("" for the root)
    char name[kHostPathCapacity] = {0};
    int ownedFds[2] = {-1, -1};
    HostPath() = default;
    HostPath(const HostPath&) = delete;
    HostPath& operator=(const HostPath&) = delete;
    ~HostPath();
};

void CloseQuietly(int fd);

// Fills path; on failure sets errno (EINVAL: no host form) and returns false.
bool ResolvePath(const WCHAR* devicePath, HostPath* path);
// The root itself, as the folder of the name ".".
bool ResolveRoot(HostPath* path);

// The name of the entry in path's folder that path->name names ignoring
// letter case, into found (kHostPathCapacity bytes); false (errno ENOENT)
// when there is none. One listing of the folder.
bool FindNameIgnoringCase(const HostPath* path, char* found);

// The same for a copy's destination, almost always a new name: from the
// walk's index of the folder, listed once; outside a walk, one listing.
// *exact tells whether the name itself exists.
bool FindDestinationName(const HostPath* path, char* found, bool* exact);

// What the layer itself changes, so that the walk's folders and index stay true.
void NoteNameAdded(const HostPath* path, const char* name);
void NoteNameRemoved(const HostPath* path, const char* name);
void NoteFolderRemoved(void);
// A folder the layer has just created is empty: its index needs no listing.
void NoteFolderCreated(const HostPath* path);

// The entry a search has just delivered, with its mode: the walk's next call
// is almost always on it (delete it, copy it), and need not look again.
void NoteEntryListed(const WCHAR* pattern, const WCHAR* name, mode_t mode);
// The mode of the entry at devicePath when it is the one just listed.
bool ListedEntryMode(const WCHAR* devicePath, mode_t* mode);

// A search opened and closed; the walk ends with the last one.
void NoteSearchOpened(void);
void NoteSearchClosed(void);

// The bits the process's umask takes, read once a walk.
mode_t CreationMask(void);

// Points the root elsewhere (null: the current directory at each call);
// false with errno set when the folder cannot be opened.
bool SetHostRoot(const char* hostFolder);

#endif
