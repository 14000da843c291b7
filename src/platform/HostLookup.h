// How the layer finds a device path below the device root, as the device's
// FAT volumes do (docs/host-layer.md): each name as it is first, without
// following a link; only when it is missing, one listing of its folder finds
// the entry equal to it ignoring letter case (the exact one, else the first
// in byte order). What a walk holds (the folders it uses, an index of the
// folded names of the folder it fills, the entry it has just seen) stays
// from the first open search to the last one closed; outside a search, for
// one call. The functions below change names and keep it true. Internal to
// the layer; not thread-safe.
#ifndef PELK_HOST_LOOKUP_H
#define PELK_HOST_LOOKUP_H

#include <dirent.h>
#include <sys/stat.h>

#include "HostFileLayer.h"

const size_t kHostPathCapacity = 1024; // 259 UTF-16 units take at most 777 UTF-8 bytes

// A device path resolved: its folder (held by the walk), and its last name
// as stored, or as asked when no entry has it.
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
DIR* OpenListing(int folderFd, const char* name); // null with errno set

// False with errno set when the path has no host form (EINVAL), a folder on
// the way is missing (ENOENT) or cannot be read.
bool ResolvePath(const WCHAR* devicePath, HostPath* path);
bool ResolveRoot(HostPath* path); // the root, as the folder of the name "."

// Each one system call on the resolved path; -1 or false with errno set.
int CreateFileEntry(HostPath* path, int flags, mode_t mode); // a new file: its descriptor
bool CreateFolderEntry(HostPath* path);
bool RemoveEntry(HostPath* path, bool folder);

// An entry the layer has just seen (listed, or copied to): the first units
// units of folder, then name. The next service on it needs no look.
void NoteEntry(const WCHAR* folder, size_t units, const WCHAR* name, const struct stat* status);

void BeginSearch(void);
void EndSearch(void);
mode_t CreationMask(void); // the bits the umask takes, read once a walk
bool SetHostRoot(const char* hostFolder); // null: the current directory; false with errno set

#endif
