#include "HostLookup.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include <wctype.h>

#include "HostCalls.h"

namespace {

const int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
const size_t kIndexSlots = 1 << 14; // a power of two; a fuller folder is looked up without the index

char g_rootPath[PATH_MAX]; // "" for the current directory
uint64_t g_hashes[kIndexSlots]; // 0: an empty slot

} // namespace

// Simple upper-casing per UTF-16 unit, surrogates as they are, in a locale
// of our own, made once.
WCHAR HostFoldUnit(WCHAR unit)
{
    if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? static_cast<WCHAR>(unit - 0x20) : unit;
    if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (!locale) return unit;
    const wint_t upper = towupper_l(unit, locale);
    return upper <= 0xFFFF ? static_cast<WCHAR>(upper) : unit;
}

namespace {

// A host name folded as the device compares names, hashed (FNV-1a, never 0);
// 0 when it has no device form that fits.
uint64_t FoldedHash(const char* hostName)
{
    WCHAR units[kHostPathCapacity];
    const int length = HostNameToDevice(hostName, units, static_cast<int>(kHostPathCapacity));
    if (length < 0) return 0;
    uint64_t hash = 14695981039346656037ull;
    for (int i = 0; i < length; ++i) hash = (hash ^ HostFoldUnit(units[i])) * 1099511628211ull;
    return hash ? hash : 1;
}

bool IsSeparator(WCHAR unit) { return unit == u'\\' || unit == u'/'; }

bool IsAtOrBelow(const char* path, const char* folder)
{
    const size_t length = strlen(folder);
    return strncmp(path, folder, length) == 0 && (path[length] == 0 || path[length] == '/');
}

// folder/name into out (capacity kHostPathCapacity); false when it does not fit.
bool Join(const char* folder, const char* name, char* out)
{
    const size_t folderLength = strlen(folder), nameLength = strlen(name);
    if (folderLength + nameLength + 2 > kHostPathCapacity) return false;
    memmove(out, folder, folderLength);
    out[folderLength] = '/';
    memcpy(out + (folderLength ? folderLength + 1 : 0), name, nameLength + 1);
    return true;
}

struct HeldFolder {
    int fd = -1;
    unsigned lastUse = 0;
    size_t units = 0;
    WCHAR asked[kHostPathCapacity] = {0}; // the device path's folder, as the walk names it
    char stored[kHostPathCapacity] = {0};
};

// What the walk holds (HostLookup.h). Changed, called by the layer's
// name-changing functions and nothing else, keeps it true.
struct Walk {
    int searches = 0;
    int rootFd = -1;
    HeldFolder folders[4];
    unsigned clock = 0;
    int creationMask = -1;
    WCHAR noted[MAX_PATH] = {0};
    struct stat notedStatus = {};
    // A name whose hash is not in the index has no entry in that folder.
    // Hashes of removed names stay: they cost a look, never a wrong answer.
    bool indexed = false;
    char indexFolder[kHostPathCapacity] = {0};
    size_t hashCount = 0;

    void Close(HeldFolder* folder) { CloseQuietly(folder->fd), folder->fd = -1; }

    void Drop()
    {
        for (HeldFolder& folder : folders)
            if (folder.fd >= 0) Close(&folder);
        if (rootFd >= 0) CloseQuietly(rootFd);
        rootFd = creationMask = -1;
        indexed = false;
        noted[0] = 0;
    }

    void StartIndex(const char* folder)
    {
        memmove(indexFolder, folder, strlen(folder) + 1);
        indexed = true;
        if (hashCount) memset(g_hashes, 0, sizeof g_hashes);
        hashCount = 0;
    }

    bool IndexHas(uint64_t hash, bool add)
    {
        if (hashCount >= kIndexSlots / 4 * 3) return true; // full: every name is looked up
        size_t slot = hash & (kIndexSlots - 1);
        for (; g_hashes[slot]; slot = (slot + 1) & (kIndexSlots - 1))
            if (g_hashes[slot] == hash) return true;
        if (add) g_hashes[slot] = hash, ++hashCount;
        return false;
    }

    HeldFolder* Held(const WCHAR* asked, size_t units, bool ancestor)
    {
        HeldFolder* found = nullptr;
        for (HeldFolder& folder : folders) {
            if (folder.fd < 0 || folder.units > units || memcmp(folder.asked, asked, folder.units * sizeof(WCHAR)))
                continue;
            if (!ancestor && folder.units == units) return folder.lastUse = ++clock, &folder;
            if (ancestor && folder.units < units && IsSeparator(asked[folder.units]) &&
                (!found || folder.units > found->units))
                found = &folder;
        }
        return found;
    }

    HeldFolder* Hold(int fd, const WCHAR* asked, size_t units)
    {
        HeldFolder* slot = &folders[0];
        for (HeldFolder& folder : folders)
            if (folder.lastUse < slot->lastUse) slot = &folder;
        if (slot->fd >= 0) CloseQuietly(slot->fd);
        slot->fd = fd, slot->lastUse = ++clock, slot->units = units;
        memcpy(slot->asked, asked, units * sizeof(WCHAR));
        return slot;
    }

    bool Changed(const HostPath* path, bool folder, bool added)
    {
        noted[0] = 0;
        if (added && indexed && strcmp(indexFolder, path->folder) == 0) IndexHas(FoldedHash(path->name), true);
        char entry[kHostPathCapacity];
        if (!folder) return true;
        if (!Join(path->folder, path->name, entry)) return Drop(), true;
        if (added) return StartIndex(entry), true; // a folder just made is empty: no listing needed
        // What the walk holds of a removed folder or below it goes.
        for (HeldFolder& held : folders)
            if (held.fd >= 0 && IsAtOrBelow(held.stored, entry)) Close(&held);
        if (indexed && IsAtOrBelow(indexFolder, entry)) indexed = false;
        return true;
    }
};

Walk g_walk;

// One listing of a folder: indexes its names and finds the one equal to name
// ignoring case (found "" for none). False with errno set when the folder
// cannot be read to its end.
bool FindInListing(int folderFd, const char* folder, const char* name, char* found)
{
    found[0] = 0;
    DIR* listing = OpenListing(folderFd, ".");
    if (!listing) return false;
    g_walk.StartIndex(folder);
    const uint64_t wanted = FoldedHash(name);
    WCHAR wantedUnits[kHostPathCapacity], units[kHostPathCapacity];
    const int wantedLength = HostNameToDevice(name, wantedUnits, static_cast<int>(kHostPathCapacity));
    struct dirent* entry;
    while (errno = 0, (entry = g_hostCalls.readdir(listing))) {
        const char* stored = entry->d_name;
        if (stored[0] == '.' && (stored[1] == 0 || (stored[1] == '.' && stored[2] == 0))) continue;
        const uint64_t hash = FoldedHash(stored);
        if (hash) g_walk.IndexHas(hash, true);
        if (!wanted || hash != wanted || strcmp(found, name) == 0) continue;
        // Equal hashes: compare the folded names themselves.
        bool equal = HostNameToDevice(stored, units, static_cast<int>(kHostPathCapacity)) == wantedLength;
        for (int i = 0; equal && i < wantedLength; ++i) equal = HostFoldUnit(units[i]) == HostFoldUnit(wantedUnits[i]);
        if (equal && (!found[0] || strcmp(stored, name) == 0 || strcmp(stored, found) < 0)) strcpy(found, stored);
    }
    const int error = errno;
    closedir(listing);
    g_walk.indexed = error == 0;
    return (errno = error) == 0;
}

// The root for one call: AT_FDCWD, or the walk's.
int RootFd(void)
{
    if (g_rootPath[0] && g_walk.rootFd < 0) g_walk.rootFd = open(g_rootPath, kFolderFlags & ~O_NOFOLLOW);
    return g_rootPath[0] ? g_walk.rootFd : AT_FDCWD;
}

// The folder of units units at asked (a device path without its last name),
// held by the walk or opened name by name below the nearest folder it holds.
bool OpenFolder(const WCHAR* asked, size_t units, HostPath* path)
{
    if ((path->folderFd = RootFd()) == -1 || units == 0) return path->folderFd != -1;
    if (HeldFolder* held = g_walk.Held(asked, units, false))
        return path->folderFd = held->fd, path->folder = held->stored, true;
    const HeldFolder* base = g_walk.Held(asked, units, true);
    const size_t skipped = base ? base->units + 1 : 0;
    WCHAR rest[kHostPathCapacity];
    char names[kHostPathCapacity], stored[kHostPathCapacity], found[kHostPathCapacity];
    if (units - skipped >= kHostPathCapacity) return errno = EINVAL, false;
    memcpy(rest, asked + skipped, (units - skipped) * sizeof(WCHAR));
    rest[units - skipped] = 0;
    if (HostPathFromDevice(rest, names, sizeof names) <= 0) return errno = EINVAL, false;
    int current = base ? base->fd : path->folderFd;
    strcpy(stored, base ? base->stored : "");
    char* save;
    for (char* name = strtok_r(names, "/", &save); name; name = strtok_r(nullptr, "/", &save)) {
        int next = g_hostCalls.openat(current, name, kFolderFlags, 0);
        const char* storedName = name;
        if (next < 0 && errno == ENOENT && FindInListing(current, stored, name, found)) {
            if (found[0]) next = g_hostCalls.openat(current, storedName = found, kFolderFlags, 0);
            else errno = ENOENT;
        }
        if (current != path->folderFd && (!base || current != base->fd)) CloseQuietly(current);
        if (next < 0) return false;
        current = next;
        if (!Join(stored, storedName, stored)) return CloseQuietly(current), errno = ENAMETOOLONG, false;
    }
    HeldFolder* held = g_walk.Hold(current, asked, units);
    strcpy(held->stored, stored);
    return path->folderFd = current, path->folder = held->stored, true;
}

} // namespace

void CloseQuietly(int fd)
{
    const int saved = errno;
    close(fd);
    errno = saved;
}

DIR* OpenListing(int folderFd, const char* name)
{
    const int fd = g_hostCalls.openat(folderFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    DIR* listing = fd < 0 ? nullptr : fdopendir(fd);
    if (!listing && fd >= 0) CloseQuietly(fd);
    return listing;
}

HostPath::~HostPath() { g_walk.searches ? void() : g_walk.Drop(); }

bool ResolvePath(const WCHAR* devicePath, HostPath* path)
{
    const WCHAR* start = devicePath;
    while (IsSeparator(*start)) ++start;
    const WCHAR* name = start;
    const WCHAR* end = start;
    for (; *end; ++end)
        if (IsSeparator(*end)) name = end + 1;
    // Only the last name is converted when the walk holds its folder.
    if (HostNameFromDevice(name, static_cast<size_t>(end - name), path->name, kHostPathCapacity) < 0)
        return errno = EINVAL, false;
    if (!OpenFolder(start, name > start ? static_cast<size_t>(name - start - 1) : 0, path)) return false;
    for (size_t i = 0; g_walk.noted[0]; ++i) {
        if (devicePath[i] != g_walk.noted[i]) break;
        if (!devicePath[i]) return path->status = g_walk.notedStatus, path->exists = true;
    }
    // The last name as stored, and its status; exact name first. In the
    // folder the walk indexed, a name the index lacks is missing.
    if (g_walk.indexed && strcmp(g_walk.indexFolder, path->folder) == 0 &&
        !g_walk.IndexHas(FoldedHash(path->name), false))
        return true;
    if (g_hostCalls.fstatat(path->folderFd, path->name, &path->status, AT_SYMLINK_NOFOLLOW) == 0)
        return path->exists = true;
    char stored[kHostPathCapacity];
    if (errno != ENOENT || !FindInListing(path->folderFd, path->folder, path->name, stored)) return false;
    if (!stored[0]) return true;
    if (g_hostCalls.fstatat(path->folderFd, stored, &path->status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT; // gone meanwhile
    strcpy(path->name, stored);
    return path->exists = true;
}

void NoteEntry(const WCHAR* folder, size_t units, const WCHAR* name, const struct stat* status)
{
    size_t nameLength = 0;
    while (name[nameLength]) ++nameLength;
    if (units + nameLength >= MAX_PATH) return void(g_walk.noted[0] = 0);
    memcpy(g_walk.noted, folder, units * sizeof(WCHAR));
    memcpy(g_walk.noted + units, name, (nameLength + 1) * sizeof(WCHAR));
    g_walk.notedStatus = *status;
}

bool ResolveRoot(HostPath* path)
{
    memcpy(path->name, ".", 2);
    path->folderFd = RootFd();
    return path->folderFd != -1 && g_hostCalls.fstatat(path->folderFd, ".", &path->status, 0) == 0 &&
           (path->exists = true);
}

int CreateFileEntry(HostPath* path, int flags, mode_t mode)
{
    const int fd = g_hostCalls.openat(path->folderFd, path->name, flags | O_CREAT | O_EXCL, mode);
    return fd >= 0 ? g_walk.Changed(path, false, true), fd : fd;
}

bool CreateFolderEntry(HostPath* path)
{
    return g_hostCalls.mkdirat(path->folderFd, path->name, 0777) == 0 && g_walk.Changed(path, true, true);
}

bool RemoveEntry(HostPath* path, bool folder)
{
    return g_hostCalls.unlinkat(path->folderFd, path->name, folder ? AT_REMOVEDIR : 0) == 0 &&
           g_walk.Changed(path, folder, false);
}

void BeginSearch(void) { ++g_walk.searches; }
int HostOpenSearches(void) { return g_walk.searches; }
void EndSearch(void) { g_walk.searches > 0 && --g_walk.searches == 0 ? g_walk.Drop() : void(); }

mode_t CreationMask(void)
{
    if (g_walk.creationMask < 0) umask(static_cast<mode_t>(g_walk.creationMask = static_cast<int>(umask(0))));
    return static_cast<mode_t>(g_walk.creationMask);
}

bool SetHostRoot(const char* hostFolder)
{
    char resolved[PATH_MAX] = {0};
    if (hostFolder && !realpath(hostFolder, resolved)) return false;
    const int fd = hostFolder ? open(resolved, O_PATH | O_DIRECTORY | O_CLOEXEC) : -2;
    if (fd == -1) return false;
    if (fd >= 0) CloseQuietly(fd);
    g_walk.Drop();
    memcpy(g_rootPath, resolved, sizeof resolved);
    return true;
}
