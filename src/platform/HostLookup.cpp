#include "HostLookup.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wctype.h>

#include <string>
#include <unordered_map>

namespace {

char g_rootPath[PATH_MAX]; // "" for the current directory

// The names of one folder: each name folded to the names on disk.
struct FolderIndex {
    std::string folder;
    std::unordered_multimap<std::u16string, std::string> names;
};

struct WalkFolder {
    int fd = -1;
    unsigned lastUse = 0;
    char asked[kHostPathCapacity];
};

const int kWalkFolders = 4;

// What one walk keeps: from the first open search to the last one closed.
struct Walk {
    int searches = 0;
    int rootFd = -1; // an explicit root, held for the walk
    WalkFolder folders[kWalkFolders];
    unsigned clock = 0;
    FolderIndex* index = nullptr;
    locale_t foldLocale = static_cast<locale_t>(0);
    int creationMask = -1;
    WCHAR listedPath[MAX_PATH] = {0}; // "" when none
    mode_t listedMode = 0;
};

Walk g_walk;

bool InWalk() { return g_walk.searches > 0; }

void DropWalkFolders()
{
    for (WalkFolder& folder : g_walk.folders) {
        if (folder.fd >= 0) CloseQuietly(folder.fd);
        folder.fd = -1;
        folder.lastUse = 0;
    }
    if (g_walk.rootFd >= 0) CloseQuietly(g_walk.rootFd);
    g_walk.rootFd = -1;
    delete g_walk.index;
    g_walk.index = nullptr;
    g_walk.listedPath[0] = 0;
}

void EndWalk()
{
    DropWalkFolders();
    if (g_walk.foldLocale) freelocale(g_walk.foldLocale);
    g_walk.foldLocale = static_cast<locale_t>(0);
    g_walk.creationMask = -1;
    g_walk.clock = 0;
}

// ---- names compared as FAT long names are --------------------------------

locale_t NewFoldLocale() { return newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0)); }

// Simple upper-casing per UTF-16 unit; surrogates (characters outside the
// BMP, escaped bytes) stay as they are. The locale for letters beyond ASCII
// is the walk's, or made for this folder's names and freed with it.
class UnitFolder {
public:
    UnitFolder() = default;
    UnitFolder(const UnitFolder&) = delete;
    UnitFolder& operator=(const UnitFolder&) = delete;
    ~UnitFolder()
    {
        if (owned_) freelocale(locale_);
    }
    WCHAR Fold(WCHAR unit)
    {
        if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? static_cast<WCHAR>(unit - 0x20) : unit;
        if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
        if (!locale_) Acquire();
        if (!locale_) return unit;
        wint_t upper = towupper_l(unit, locale_);
        return upper <= 0xFFFF ? static_cast<WCHAR>(upper) : unit;
    }

private:
    void Acquire()
    {
        if (!InWalk()) {
            locale_ = NewFoldLocale();
            owned_ = locale_ != static_cast<locale_t>(0);
            return;
        }
        if (!g_walk.foldLocale) g_walk.foldLocale = NewFoldLocale();
        locale_ = g_walk.foldLocale;
    }
    locale_t locale_ = static_cast<locale_t>(0);
    bool owned_ = false;
};

// A host name folded; false when it has no device form that fits.
bool FoldName(UnitFolder* folder, const char* hostName, std::u16string* folded)
{
    WCHAR units[kHostPathCapacity];
    int length = HostNameToDevice(hostName, units, static_cast<int>(kHostPathCapacity));
    if (length < 0) return false;
    folded->assign(units, static_cast<size_t>(length));
    for (char16_t& unit : *folded) unit = folder->Fold(unit);
    return true;
}

bool IsDotName(const char* name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Calls visit with each name in the folder but "." and ".."; false with
// errno set when the folder cannot be read.
template <typename Visit>
bool ListFolder(int folderFd, Visit visit)
{
    int fd = openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* listing = fdopendir(fd);
    if (!listing) {
        CloseQuietly(fd);
        return false;
    }
    int error = 0;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(listing);
        if (!entry) {
            error = errno;
            break;
        }
        if (!IsDotName(entry->d_name)) visit(entry->d_name);
    }
    closedir(listing);
    errno = error;
    return error == 0;
}

// Keeps the better of two names on disk for a name asked: the exact one,
// else the first in byte order.
void KeepBetter(const char* asked, const char* candidate, std::string* best)
{
    if (*best == asked) return;
    if (best->empty() || strcmp(candidate, asked) == 0 || strcmp(candidate, best->c_str()) < 0) *best = candidate;
}

bool CopyOut(const std::string& name, char* found)
{
    if (name.empty() || name.size() >= kHostPathCapacity) {
        errno = ENOENT;
        return false;
    }
    memcpy(found, name.c_str(), name.size() + 1);
    return true;
}

bool FindInListing(int folderFd, const char* name, char* found)
{
    UnitFolder folder;
    std::u16string wanted, folded;
    if (!FoldName(&folder, name, &wanted)) {
        errno = ENOENT;
        return false;
    }
    std::string best;
    if (!ListFolder(folderFd, [&](const char* entry) {
            if (FoldName(&folder, entry, &folded) && folded == wanted) KeepBetter(name, entry, &best);
        }))
        return false;
    return CopyOut(best, found);
}

FolderIndex* IndexOf(int folderFd, const char* folderPath)
{
    if (g_walk.index && g_walk.index->folder == folderPath) return g_walk.index;
    delete g_walk.index;
    g_walk.index = nullptr;
    FolderIndex* index = new FolderIndex;
    index->folder = folderPath;
    UnitFolder folder;
    std::u16string folded;
    if (!ListFolder(folderFd, [&](const char* entry) {
            if (FoldName(&folder, entry, &folded)) index->names.emplace(folded, entry);
        })) {
        int error = errno;
        delete index;
        errno = error;
        return nullptr;
    }
    g_walk.index = index;
    return index;
}

// ---- folders, name by name, without links --------------------------------

int OpenSubfolder(int folderFd, const char* name)
{
    const int flags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = openat(folderFd, name, flags);
    if (fd >= 0 || errno != ENOENT) return fd;
    char variant[kHostPathCapacity];
    if (!FindInListing(folderFd, name, variant)) return -1;
    return openat(folderFd, variant, flags);
}

// Opens the root-relative folder (not ""); -1 with errno set.
int OpenFolderByNames(int rootFd, const char* folder)
{
    int current = rootFd;
    const char* cursor = folder;
    while (*cursor) {
        const char* slash = strchr(cursor, '/');
        size_t length = slash ? static_cast<size_t>(slash - cursor) : strlen(cursor);
        char component[NAME_MAX + 1];
        int next = -1;
        if (length > NAME_MAX) {
            errno = ENAMETOOLONG;
        } else {
            memcpy(component, cursor, length);
            component[length] = 0;
            next = OpenSubfolder(current, component);
        }
        if (current != rootFd) CloseQuietly(current);
        if (next < 0) return -1;
        current = next;
        cursor = slash ? slash + 1 : cursor + length;
    }
    return current;
}

int WalkFolderFd(int rootFd, const char* folder)
{
    WalkFolder* slot = &g_walk.folders[0];
    for (WalkFolder& candidate : g_walk.folders) {
        if (candidate.fd >= 0 && strcmp(candidate.asked, folder) == 0) {
            candidate.lastUse = ++g_walk.clock;
            return candidate.fd;
        }
        if (candidate.lastUse < slot->lastUse) slot = &candidate;
    }
    int fd = OpenFolderByNames(rootFd, folder);
    if (fd < 0) return -1;
    if (slot->fd >= 0) CloseQuietly(slot->fd);
    slot->fd = fd;
    slot->lastUse = ++g_walk.clock;
    memcpy(slot->asked, folder, strlen(folder) + 1);
    return fd;
}

// The root for one call: AT_FDCWD, the walk's, or opened for this call.
int RootFd(HostPath* path)
{
    if (!g_rootPath[0]) return AT_FDCWD;
    if (InWalk() && g_walk.rootFd >= 0) return g_walk.rootFd;
    int fd = open(g_rootPath, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (InWalk()) g_walk.rootFd = fd;
    else path->ownedFds[0] = fd;
    return fd;
}

} // namespace

void CloseQuietly(int fd)
{
    int saved = errno;
    close(fd);
    errno = saved;
}

WCHAR HostFoldUnit(WCHAR unit)
{
    UnitFolder folder;
    return folder.Fold(unit);
}

HostPath::~HostPath()
{
    for (int fd : ownedFds)
        if (fd >= 0) CloseQuietly(fd);
}

bool ResolvePath(const WCHAR* devicePath, HostPath* path)
{
    char hostPath[kHostPathCapacity];
    int length = HostPathFromDevice(devicePath, hostPath, sizeof hostPath);
    char* slash = length > 0 ? strrchr(hostPath, '/') : nullptr;
    const char* name = slash ? slash + 1 : hostPath;
    if (length <= 0 || !*name) {
        errno = EINVAL;
        return false;
    }
    memcpy(path->name, name, strlen(name) + 1);
    if (slash) *slash = 0;
    else hostPath[0] = 0;
    memcpy(path->folder, hostPath, strlen(hostPath) + 1);
    const int rootFd = RootFd(path);
    if (rootFd == -1) return false;
    if (!path->folder[0]) {
        path->folderFd = rootFd;
    } else if (InWalk()) {
        path->folderFd = WalkFolderFd(rootFd, path->folder);
    } else {
        path->folderFd = path->ownedFds[1] = OpenFolderByNames(rootFd, path->folder);
    }
    return path->folderFd >= 0 || path->folderFd == AT_FDCWD;
}

bool ResolveRoot(HostPath* path)
{
    path->folder[0] = 0;
    memcpy(path->name, ".", 2);
    path->folderFd = RootFd(path);
    return path->folderFd != -1;
}

bool FindNameIgnoringCase(const HostPath* path, char* found)
{
    return FindInListing(path->folderFd, path->name, found);
}

bool FindDestinationName(const HostPath* path, char* found, bool* exact)
{
    *exact = false;
    if (!InWalk()) {
        struct stat status;
        if (fstatat(path->folderFd, path->name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
            *exact = true;
            return CopyOut(path->name, found);
        }
        return errno == ENOENT && FindNameIgnoringCase(path, found);
    }
    FolderIndex* index = IndexOf(path->folderFd, path->folder);
    UnitFolder folder;
    std::u16string wanted;
    if (!index) return false;
    if (!FoldName(&folder, path->name, &wanted)) {
        errno = EINVAL;
        return false;
    }
    std::string best;
    auto matches = index->names.equal_range(wanted);
    for (auto it = matches.first; it != matches.second; ++it) KeepBetter(path->name, it->second.c_str(), &best);
    *exact = best == path->name;
    return CopyOut(best, found);
}

void NoteNameAdded(const HostPath* path, const char* name)
{
    if (!g_walk.index || g_walk.index->folder != path->folder) return;
    UnitFolder folder;
    std::u16string folded;
    if (FoldName(&folder, name, &folded)) g_walk.index->names.emplace(folded, name);
}

void NoteNameRemoved(const HostPath* path, const char* name)
{
    if (!g_walk.index || g_walk.index->folder != path->folder) return;
    UnitFolder folder;
    std::u16string folded;
    if (!FoldName(&folder, name, &folded)) return;
    auto matches = g_walk.index->names.equal_range(folded);
    for (auto it = matches.first; it != matches.second; ++it) {
        if (it->second == name) {
            g_walk.index->names.erase(it);
            return;
        }
    }
}

void NoteFolderCreated(const HostPath* path)
{
    if (!InWalk()) return;
    delete g_walk.index;
    g_walk.index = new FolderIndex;
    g_walk.index->folder = path->folder[0] ? std::string(path->folder) + "/" + path->name : path->name;
}

// A removed folder may be one the walk holds, or hold one: start afresh.
void NoteFolderRemoved(void) { DropWalkFolders(); }

void NoteEntryListed(const WCHAR* pattern, const WCHAR* name, mode_t mode)
{
    g_walk.listedPath[0] = 0;
    size_t folderLength = 0;
    for (size_t i = 0; pattern[i]; ++i)
        if (pattern[i] == u'\\' || pattern[i] == u'/') folderLength = i + 1;
    size_t length = folderLength;
    for (size_t i = 0; name[i]; ++i, ++length)
        if (length + 1 >= MAX_PATH) return;
    memcpy(g_walk.listedPath, pattern, folderLength * sizeof(WCHAR));
    memcpy(g_walk.listedPath + folderLength, name, (length - folderLength + 1) * sizeof(WCHAR));
    g_walk.listedMode = mode;
}

bool ListedEntryMode(const WCHAR* devicePath, mode_t* mode)
{
    if (!InWalk() || !g_walk.listedPath[0]) return false;
    for (size_t i = 0;; ++i) {
        if (devicePath[i] != g_walk.listedPath[i]) return false;
        if (!devicePath[i]) break;
    }
    *mode = g_walk.listedMode;
    return true;
}

void NoteSearchOpened(void) { ++g_walk.searches; }

int HostOpenSearches(void) { return g_walk.searches; }

void NoteSearchClosed(void)
{
    if (g_walk.searches > 0 && --g_walk.searches == 0) EndWalk();
}

mode_t CreationMask(void)
{
    if (InWalk() && g_walk.creationMask >= 0) return static_cast<mode_t>(g_walk.creationMask);
    const mode_t mask = umask(0);
    umask(mask);
    if (InWalk()) g_walk.creationMask = static_cast<int>(mask);
    return mask;
}

bool SetHostRoot(const char* hostFolder)
{
    char resolved[PATH_MAX] = {0};
    if (hostFolder) {
        int fd = open(hostFolder, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        CloseQuietly(fd);
        if (!realpath(hostFolder, resolved)) return false;
    }
    DropWalkFolders();
    memcpy(g_rootPath, resolved, sizeof resolved);
    return true;
}
