#include "HostLookup.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include <string>
#include <unordered_map>

int g_hostRootFd = AT_FDCWD;

namespace {

char g_rootRealPath[PATH_MAX]; // of an explicit root; the current directory is asked for when needed

void CloseQuietly(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

// ---- names compared as FAT long names are --------------------------------

// Simple upper-casing per UTF-16 unit; surrogates (characters outside the
// BMP, escaped bytes) stay as they are.
locale_t FoldLocale()
{
    static locale_t s_locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return s_locale;
}

} // namespace

WCHAR HostFoldUnit(WCHAR unit)
{
    if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? static_cast<WCHAR>(unit - 0x20) : unit;
    if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
    locale_t locale = FoldLocale();
    if (!locale) return unit;
    wint_t upper = towupper_l(unit, locale);
    return upper <= 0xFFFF ? static_cast<WCHAR>(upper) : unit;
}

namespace {

std::u16string FoldedName(const char* hostName)
{
    WCHAR units[kHostPathCapacity];
    int length = HostNameToDevice(hostName, units, static_cast<int>(kHostPathCapacity));
    if (length < 0) return std::u16string();
    std::u16string folded(units, static_cast<size_t>(length));
    for (char16_t& unit : folded) unit = HostFoldUnit(unit);
    return folded;
}

bool IsDotName(const char* name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// ---- the names of one folder ---------------------------------------------

// The layer's own changes keep the index current; any other change shows as a
// new modification or change time of the folder and makes it list the folder
// again. Those times have the kernel's clock tick as their grain, so an index
// listed within a tick of the folder's last change cannot tell a later change
// in that tick, and is listed again on its next use unless the layer changed
// the folder itself since. (Another process writing into the same folder
// during a job is not the device's case and is not guarded against.)
struct NameIndex {
    bool listed = false;
    dev_t device = 0;
    ino_t inode = 0;
    struct timespec modified = {0, 0};
    struct timespec changed = {0, 0};
    bool racy = false;
    bool changedByLayer = false;
    std::unordered_multimap<std::u16string, std::string> names; // folded name to the name on disk
};

NameIndex g_index;

bool SameTime(const struct timespec& left, const struct timespec& right)
{
    return left.tv_sec == right.tv_sec && left.tv_nsec == right.tv_nsec;
}

bool IndexIsFor(const struct stat& folder)
{
    return g_index.listed && g_index.device == folder.st_dev && g_index.inode == folder.st_ino;
}

bool IndexIsCurrent(const struct stat& folder)
{
    if (!IndexIsFor(folder)) return false;
    if (g_index.changedByLayer) {
        g_index.modified = folder.st_mtim;
        g_index.changed = folder.st_ctim;
        g_index.changedByLayer = false;
        g_index.racy = false;
        return true;
    }
    return !g_index.racy && SameTime(g_index.modified, folder.st_mtim) && SameTime(g_index.changed, folder.st_ctim);
}

// Lists the folder open as folderFd, whose status was taken before.
bool ListFolder(int folderFd, const struct stat& folder)
{
    g_index.listed = false;
    g_index.names.clear();
    int fd = openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* listing = fdopendir(fd);
    if (!listing) {
        CloseQuietly(fd);
        return false;
    }
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(listing);
        if (!entry) break;
        if (!IsDotName(entry->d_name)) g_index.names.emplace(FoldedName(entry->d_name), entry->d_name);
    }
    int error = errno;
    closedir(listing);
    if (error) {
        g_index.names.clear();
        errno = error;
        return false;
    }
    struct timespec now;
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    long long sinceChange = (now.tv_sec - folder.st_ctim.tv_sec) * 1000000000LL + (now.tv_nsec - folder.st_ctim.tv_nsec);
    g_index.listed = true;
    g_index.device = folder.st_dev;
    g_index.inode = folder.st_ino;
    g_index.modified = folder.st_mtim;
    g_index.changed = folder.st_ctim;
    g_index.racy = sinceChange < 20 * 1000000LL; // a tick is at most 10 ms
    g_index.changedByLayer = false;
    return true;
}

// The name on disk for name: itself when present, else the first match
// ignoring case in byte order.
bool FindInIndex(const char* name, char* found, bool* exact)
{
    auto matches = g_index.names.equal_range(FoldedName(name));
    const std::string* best = nullptr;
    for (auto it = matches.first; it != matches.second; ++it) {
        if (it->second == name) {
            best = &it->second;
            break;
        }
        if (!best || it->second < *best) best = &it->second;
    }
    if (!best) return false;
    if (exact) *exact = *best == name;
    memcpy(found, best->c_str(), best->size() + 1);
    return true;
}

// Fresh lookup in the folder open as folderFd (not through the index).
bool FindInFolderFd(int folderFd, const char* name, char* found)
{
    struct stat folder;
    if (fstatat(folderFd, ".", &folder, 0) != 0 || !ListFolder(folderFd, folder)) return false;
    return FindInIndex(name, found, nullptr);
}

// ---- folders without links -------------------------------------------------

bool g_noOpenat2 = false;

bool Append(char* path, size_t* length, const char* name, size_t nameLength)
{
    size_t needed = *length + (*length ? 1 : 0) + nameLength;
    if (needed + 1 > kHostPathCapacity) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (*length) path[(*length)++] = '/';
    memcpy(path + *length, name, nameLength);
    *length = needed;
    path[needed] = 0;
    return true;
}

// Opens the folder at the root-relative path folder (not "") without
// following a link, each name found ignoring case where the exact one is
// missing; its path as found goes to found. Returns the descriptor or -1.
int OpenFolderNoLinks(const char* folder, char* found)
{
    if (!g_noOpenat2) {
        struct open_how how;
        memset(&how, 0, sizeof how);
        how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd = syscall(SYS_openat2, g_hostRootFd, folder, &how, sizeof how);
        if (fd >= 0) {
            memcpy(found, folder, strlen(folder) + 1);
            return static_cast<int>(fd);
        }
        if (errno == ENOSYS) g_noOpenat2 = true; // kernels and emulators without it
        else if (errno != ENOENT) return -1;
    }
    // One folder at a time.
    char component[NAME_MAX + 1];
    char variant[kHostPathCapacity];
    size_t foundLength = 0;
    found[0] = 0;
    int folderFd = g_hostRootFd;
    const char* cursor = folder;
    while (*cursor) {
        const char* slash = strchr(cursor, '/');
        size_t length = slash ? static_cast<size_t>(slash - cursor) : strlen(cursor);
        int next = -1;
        if (length > NAME_MAX) {
            errno = ENAMETOOLONG;
        } else {
            memcpy(component, cursor, length);
            component[length] = 0;
            const int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
            next = openat(folderFd, component, flags);
            if (next < 0 && errno == ENOENT) {
                if (FindInFolderFd(folderFd, component, variant)) {
                    next = openat(folderFd, variant, flags);
                    memcpy(component, variant, strlen(variant) + 1);
                } else {
                    errno = ENOENT;
                }
            }
            if (next >= 0 && !Append(found, &foundLength, component, strlen(component))) {
                CloseQuietly(next);
                next = -1;
            }
        }
        if (folderFd != g_hostRootFd) CloseQuietly(folderFd);
        if (next < 0) return -1;
        folderFd = next;
        cursor = slash ? slash + 1 : cursor + length;
    }
    if (folderFd == g_hostRootFd) return openat(g_hostRootFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return folderFd;
}

// The folders of recent calls stay open; each use checks by a stat of the
// path found that the folder there is still the one held open.
struct OpenFolder {
    int fd = -1;
    unsigned lastUse = 0;
    dev_t device = 0;
    ino_t inode = 0;
    char asked[kHostPathCapacity];
    char found[kHostPathCapacity];
};

const int kOpenFolders = 4;
OpenFolder g_folders[kOpenFolders];
unsigned g_useClock = 0;

void Forget(OpenFolder* folder)
{
    if (folder->fd >= 0) CloseQuietly(folder->fd);
    folder->fd = -1;
}

OpenFolder* UseFolder(const char* asked, struct stat* status)
{
    OpenFolder* oldest = &g_folders[0];
    for (OpenFolder& folder : g_folders) {
        if (folder.fd >= 0 && strcmp(folder.asked, asked) == 0) {
            if (fstatat(g_hostRootFd, folder.found, status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status->st_mode) &&
                status->st_dev == folder.device && status->st_ino == folder.inode) {
                folder.lastUse = ++g_useClock;
                return &folder;
            }
            Forget(&folder);
            oldest = &folder;
            break;
        }
        if (folder.fd < 0 || folder.lastUse < oldest->lastUse) oldest = &folder;
    }
    Forget(oldest);
    int fd = OpenFolderNoLinks(asked, oldest->found);
    if (fd < 0) return nullptr;
    if (fstat(fd, status) != 0) {
        CloseQuietly(fd);
        return nullptr;
    }
    oldest->fd = fd;
    oldest->device = status->st_dev;
    oldest->inode = status->st_ino;
    oldest->lastUse = ++g_useClock;
    memcpy(oldest->asked, asked, strlen(asked) + 1);
    return oldest;
}

// ---- links ----------------------------------------------------------------

// Root-relative, lexically: "." dropped, ".." taken back; false (EXDEV) when
// it would climb above the root.
bool NormalisePath(char* path)
{
    char result[kHostPathCapacity];
    size_t length = 0;
    result[0] = 0;
    const char* cursor = path;
    while (*cursor) {
        const char* slash = strchr(cursor, '/');
        size_t nameLength = slash ? static_cast<size_t>(slash - cursor) : strlen(cursor);
        if (nameLength == 0 || (nameLength == 1 && cursor[0] == '.')) {
            // nothing
        } else if (nameLength == 2 && cursor[0] == '.' && cursor[1] == '.') {
            if (length == 0) {
                errno = EXDEV;
                return false;
            }
            while (length > 0 && result[length - 1] != '/') --length;
            if (length > 0) --length;
            result[length] = 0;
        } else if (!Append(result, &length, cursor, nameLength)) {
            return false;
        }
        cursor = slash ? slash + 1 : cursor + nameLength;
    }
    memcpy(path, result, length + 1);
    return true;
}

bool RootRealPath(char* out, size_t capacity)
{
    if (g_hostRootFd != AT_FDCWD) {
        size_t length = strlen(g_rootRealPath);
        if (length + 1 > capacity) return false;
        memcpy(out, g_rootRealPath, length + 1);
        return true;
    }
    return getcwd(out, capacity) != nullptr;
}

// Where the link at root-relative linkPath leads, root-relative; false when
// outside the root.
bool LinkDestination(const char* linkPath, const char* target, char* destination)
{
    size_t length = 0;
    destination[0] = 0;
    if (target[0] == '/') {
        char root[PATH_MAX];
        if (!RootRealPath(root, sizeof root)) return false;
        size_t rootLength = strlen(root);
        while (rootLength > 1 && root[rootLength - 1] == '/') --rootLength;
        if (rootLength == 1) rootLength = 0; // the root is "/"
        if (strncmp(target, root, rootLength) != 0 || (target[rootLength] != '/' && target[rootLength] != 0)) {
            errno = EXDEV;
            return false;
        }
        target += rootLength;
    } else {
        const char* slash = strrchr(linkPath, '/');
        if (slash && !Append(destination, &length, linkPath, static_cast<size_t>(slash - linkPath))) return false;
    }
    return Append(destination, &length, target, strlen(target)) && NormalisePath(destination);
}

} // namespace

bool SetHostRoot(const char* hostFolder)
{
    int fd = AT_FDCWD;
    if (hostFolder) {
        fd = open(hostFolder, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        if (!realpath(hostFolder, g_rootRealPath)) {
            CloseQuietly(fd);
            return false;
        }
    }
    if (g_hostRootFd != AT_FDCWD) close(g_hostRootFd);
    g_hostRootFd = fd;
    for (OpenFolder& folder : g_folders) Forget(&folder);
    g_index.listed = false;
    g_index.names.clear();
    return true;
}

bool ResolvePath(const WCHAR* devicePath, HostPath* path)
{
    path->folderFd = -1;
    path->folder = "";
    char hostPath[kHostPathCapacity];
    int length = HostPathFromDevice(devicePath, hostPath, sizeof hostPath);
    if (length <= 0) {
        errno = EINVAL;
        return false;
    }
    char* slash = strrchr(hostPath, '/');
    if (!slash) {
        memcpy(path->name, hostPath, static_cast<size_t>(length) + 1);
        if (fstatat(g_hostRootFd, ".", &path->folderStatus, 0) != 0) return false;
        path->folderFd = g_hostRootFd;
        return true;
    }
    if (slash[1] == 0) {
        errno = EINVAL;
        return false;
    }
    memcpy(path->name, slash + 1, strlen(slash + 1) + 1);
    *slash = 0;
    OpenFolder* folder = UseFolder(hostPath, &path->folderStatus);
    if (!folder) return false;
    path->folderFd = folder->fd;
    path->folder = folder->found;
    return true;
}

bool FindNameIgnoringCase(const HostPath* path, char* found)
{
    return ListFolder(path->folderFd, path->folderStatus) && FindInIndex(path->name, found, nullptr);
}

bool LookUpNameIgnoringCase(const HostPath* path, char* found, bool* exact)
{
    if (!IndexIsCurrent(path->folderStatus) && !ListFolder(path->folderFd, path->folderStatus)) return false;
    return FindInIndex(path->name, found, exact);
}

void NoteNameAdded(const HostPath* path, const char* name)
{
    if (!IndexIsFor(path->folderStatus)) return;
    g_index.names.emplace(FoldedName(name), name);
    g_index.changedByLayer = true;
}

void NoteNameRemoved(const HostPath* path, const char* name)
{
    if (!IndexIsFor(path->folderStatus)) return;
    auto matches = g_index.names.equal_range(FoldedName(name));
    for (auto it = matches.first; it != matches.second; ++it) {
        if (it->second == name) {
            g_index.names.erase(it);
            break;
        }
    }
    g_index.changedByLayer = true;
}

int OpenLinkedFileInRoot(const HostPath* path, const char* name, int flags)
{
    char linkPath[kHostPathCapacity];
    size_t length = 0;
    linkPath[0] = 0;
    if (!Append(linkPath, &length, path->folder, strlen(path->folder)) ||
        !Append(linkPath, &length, name, strlen(name)))
        return -1;
    int folderFd = path->folderFd;
    bool ownFolder = false;
    const char* leaf = name;
    char destination[kHostPathCapacity];
    char foundFolder[kHostPathCapacity];
    int result = -1;
    errno = ELOOP;
    for (int hop = 0; hop < 40; ++hop) {
        char target[kHostPathCapacity];
        ssize_t targetLength = readlinkat(folderFd, leaf, target, sizeof target - 1);
        if (targetLength < 0) break;
        target[targetLength] = 0;
        if (!LinkDestination(linkPath, target, destination)) break;
        if (destination[0] == 0) {
            errno = EISDIR; // the root itself
            break;
        }
        if (ownFolder) CloseQuietly(folderFd);
        ownFolder = true;
        char* slash = strrchr(destination, '/');
        if (slash) {
            *slash = 0;
            folderFd = OpenFolderNoLinks(destination, foundFolder);
            *slash = '/';
            leaf = slash + 1;
        } else {
            folderFd = openat(g_hostRootFd, ".", O_PATH | O_DIRECTORY | O_CLOEXEC);
            leaf = destination;
        }
        if (folderFd < 0) {
            ownFolder = false;
            break;
        }
        struct stat status;
        if (fstatat(folderFd, leaf, &status, AT_SYMLINK_NOFOLLOW) != 0) break;
        if (S_ISLNK(status.st_mode)) {
            memcpy(linkPath, destination, strlen(destination) + 1);
            leaf = linkPath + (leaf - destination);
            errno = ELOOP;
            continue;
        }
        if (!S_ISREG(status.st_mode)) {
            errno = S_ISDIR(status.st_mode) ? EISDIR : EACCES;
            break;
        }
        result = openat(folderFd, leaf, flags | O_NOFOLLOW);
        break;
    }
    if (ownFolder) CloseQuietly(folderFd);
    return result;
}
