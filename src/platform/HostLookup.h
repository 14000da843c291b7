// How the host file layer finds a device path below the device root, the way
// the device's FAT volumes do: a name matches an entry whose name equals it
// ignoring letter case (an exact match wins, otherwise the first match in byte
// order), no folder of a path is a symbolic link, and a link met as the last
// name leads only to a file inside the root.
//
// Internal to the layer. Like the job, it is not thread-safe: it keeps a few
// folders open between calls, and an index of the names of the folder the
// layer last copied files into.
#ifndef PELK_HOST_LOOKUP_H
#define PELK_HOST_LOOKUP_H

#include <stddef.h>
#include <sys/stat.h>

#include "HostFileLayer.h"

const size_t kHostPathCapacity = 1024; // 259 UTF-16 units take at most 777 UTF-8 bytes

// The device root: AT_FDCWD for the current directory.
extern int g_hostRootFd;

// A device path resolved to its folder (opened without following links) and
// its last name as asked.
struct HostPath {
    int folderFd;             // the root's descriptor, or a folder the layer keeps open
    const char* folder;       // that folder's path below the root as found on disk ("" for the root)
    struct stat folderStatus; // taken while resolving
    char name[kHostPathCapacity];
};

// Fills path; on failure sets errno and returns false.
bool ResolvePath(const WCHAR* devicePath, HostPath* path);

// The name of the entry of path's folder that path->name names ignoring
// letter case, into found (kHostPathCapacity bytes); false when there is
// none. Lists the folder afresh: for lookups whose exact name is missing.
bool FindNameIgnoringCase(const HostPath* path, char* found);

// The same from the layer's index of the folder's names, which lists the
// folder again only when it changed in a way the layer did not make itself:
// for the destinations of copies, almost always new names. *exact tells
// whether the name itself exists.
bool LookUpNameIgnoringCase(const HostPath* path, char* found, bool* exact);

// Keep that index in step with what the layer itself adds and removes.
void NoteNameAdded(const HostPath* path, const char* name);
void NoteNameRemoved(const HostPath* path, const char* name);

// Opens the regular file that the link `name` in path's folder leads to,
// when every link on the way resolves inside the device root and no folder
// on the way is a link. Returns -1 with errno set otherwise: EXDEV for a link
// that leads out of the root, ELOOP for too many links.
int OpenLinkedFileInRoot(const HostPath* path, const char* name, int flags);

// Points the root elsewhere (null: the current directory); false with errno
// set when the folder cannot be opened.
bool SetHostRoot(const char* hostFolder);

#endif
