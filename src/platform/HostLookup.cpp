#include "HostLookup.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <locale.h>
#include <string.h>
#include <unistd.h>
#include <wctype.h>

#include <string>
#include <unordered_map>

#include "HostCalls.h"

namespace {

const int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

char g_rootPath[PATH_MAX]; // "" for the current directory

// ---- names compared as FAT long names are --------------------------------

// Simple upper-casing per UTF-16 unit; surrogates (characters outside the
// BMP, escaped bytes) stay as they are. The locale is made once, for
// letters beyond ASCII, and is independent of the process's own.
WCHAR FoldUnit(WCHAR unit)
{
    if (unit < 0x80) return unit >= u'a' && unit <= u'z' ? static_cast<WCHAR>(unit - 0x20) : unit;
    if (unit >= 0xD800 && unit <= 0xDFFF) return unit;
    static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    if (!locale) return unit;
    const wint_t upper = towupper_l(unit, locale);
    return upper <= 0xFFFF ? static_cast<WCHAR>(upper) : unit;
}

// A host name folded; false when it has no device form that fits.
bool FoldName(const char* hostName, std::u16string* folded)
{
    WCHAR units[kHostPathCapacity];
    const int length = HostNameToDevice(hostName, units, static_cast<int>(kHostPathCapacity));
    if (length < 0) return false;
    folded->assign(units, static_cast<size_t>(length));
    for (char16_t& unit : *folded) unit = FoldUnit(unit);
    return true;
}

bool IsDotName(const char* name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Calls visit with each name in the folder but "." and ".."; false with
// errno set when the folder cannot be read to its end.
template <typename Visit>
bool ListFolder(int folderFd, Visit visit)
{
    const int fd = g_hostCalls.openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0) return false;
    DIR* listing = fdopendir(fd);
    if (!listing) {
        CloseQuietly(fd);
        return false;
    }
    int error = 0;
    for (;;) {
        errno = 0;
        struct dirent* entry = g_hostCalls.readdir(listing);
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

bool IsAtOrBelow(const std::string& path, const std::string& folder)
{
    return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string Join(const char* folder, const char* name) { return folder[0] ? std::string(folder) + "/" + name : name; }

// The names of one folder, folded as the device compares them.
struct NameIndex {
    std::string folder; // below the root, names as stored
    std::unordered_multimap<std::u16string, std::string> names;

    bool Fill(int folderFd)
    {
        names.clear();
        return ListFolder(folderFd, [this](const char* entry) { Add(entry); });
    }
    void Add(const char* name)
    {
        std::u16string folded;
        if (FoldName(name, &folded)) names.emplace(folded, name);
    }
    void Remove(const char* name)
    {
        std::u16string folded;
        if (!FoldName(name, &folded)) return;
        auto matches = names.equal_range(folded);
        for (auto it = matches.first; it != matches.second; ++it)
            if (it->second == name) return void(names.erase(it));
    }
    // The name as stored that equals name ignoring case: the exact one, else
    // the first in byte order; "" for none.
    std::string Find(const char* name) const
    {
        std::u16string wanted;
        std::string best;
        if (!FoldName(name, &wanted)) return best;
        auto matches = names.equal_range(wanted);
        for (auto it = matches.first; it != matches.second && best != name; ++it)
            if (best.empty() || it->second == name || it->second < best) best = it->second;
        return best;
    }
};

// One listing: the stored name equal to name ignoring case, "" for none.
bool FindInListing(int folderFd, const char* name, std::string* found)
{
    NameIndex listing;
    if (!listing.Fill(folderFd)) return false;
    *found = listing.Find(name);
    return true;
}

// ---- what a walk keeps ------------------------------------------------------

struct WalkFolder {
    int fd = -1;
    unsigned lastUse = 0;
    std::string asked;
    std::string stored;
};

// From the first open search to the last one closed: the root, the folders
// the walk uses and the names of the one folder it fills. Changed, called by
// the layer's name-changing functions and nothing else, keeps it true.
struct Walk {
    int searches = 0;
    int rootFd = -1;
    WalkFolder folders[4];
    unsigned clock = 0;
    bool indexed = false;
    NameIndex index;
    int creationMask = -1;
    // The entry a search has just delivered: the walk's next call is almost
    // always on it (delete it, copy it), and needs no second look.
    WCHAR listed[MAX_PATH] = {0};
    struct stat listedStatus = {};

    // Closes what the walk holds; it goes on with the next use.
    void DropFolders()
    {
        for (WalkFolder& folder : folders) {
            if (folder.fd >= 0) CloseQuietly(folder.fd);
            folder = WalkFolder();
        }
        if (rootFd >= 0) CloseQuietly(rootFd);
        rootFd = -1;
        indexed = false;
        listed[0] = 0;
    }

    WalkFolder* Held(const char* asked)
    {
        for (WalkFolder& folder : folders)
            if (folder.fd >= 0 && folder.asked == asked) {
                folder.lastUse = ++clock;
                return &folder;
            }
        return nullptr;
    }

    void Hold(int fd, const char* asked, const char* stored)
    {
        WalkFolder* slot = &folders[0];
        for (WalkFolder& folder : folders)
            if (folder.lastUse < slot->lastUse) slot = &folder;
        if (slot->fd >= 0) CloseQuietly(slot->fd);
        *slot = WalkFolder{fd, ++clock, asked, stored};
    }

    bool FindIndexed(const HostPath* path, std::string* found)
    {
        if (!indexed || index.folder != path->folder) {
            indexed = index.Fill(path->folderFd);
            if (!indexed) return false;
            index.folder = path->folder;
        }
        *found = index.Find(path->name);
        return true;
    }

    void Changed(const HostPath* path, bool folder, bool added)
    {
        listed[0] = 0;
        if (indexed && index.folder == path->folder) added ? index.Add(path->name) : index.Remove(path->name);
        if (!folder || !searches) return;
        const std::string entry = Join(path->folder, path->name);
        if (added) { // a folder just made is empty: no listing needed
            index.names.clear();
            index.folder = entry;
            indexed = true;
            return;
        }
        // What the walk holds of a removed folder or below it goes.
        for (WalkFolder& held : folders)
            if (held.fd >= 0 && IsAtOrBelow(held.stored, entry)) {
                CloseQuietly(held.fd);
                held = WalkFolder();
            }
        if (indexed && IsAtOrBelow(index.folder, entry)) indexed = false;
    }
};

Walk g_walk;

// ---- folders, name by name, without links --------------------------------

// Opens name in folderFd as a folder, exact name first; its stored name
// into stored. -1 with errno set.
int OpenSubfolder(int folderFd, const char* name, std::string* stored)
{
    int fd = g_hostCalls.openat(folderFd, name, kFolderFlags, 0);
    *stored = name;
    if (fd >= 0 || errno != ENOENT) return fd;
    if (!FindInListing(folderFd, name, stored)) return -1;
    if (stored->empty()) {
        errno = ENOENT;
        return -1;
    }
    return g_hostCalls.openat(folderFd, stored->c_str(), kFolderFlags, 0);
}

// Opens the root-relative folder asked (not ""), its stored path into stored.
int OpenFolderByNames(int rootFd, const char* asked, std::string* stored)
{
    int current = rootFd;
    stored->clear();
    for (const char* cursor = asked; *cursor;) {
        const char* slash = strchr(cursor, '/');
        const size_t length = slash ? static_cast<size_t>(slash - cursor) : strlen(cursor);
        const std::string component(cursor, length);
        std::string storedName;
        const int next = OpenSubfolder(current, component.c_str(), &storedName);
        if (current != rootFd) CloseQuietly(current);
        if (next < 0) return -1;
        current = next;
        *stored += (stored->empty() ? "" : "/") + storedName;
        cursor = slash ? slash + 1 : cursor + length;
    }
    return current;
}

// The root for one call: AT_FDCWD, the walk's, or opened for this call.
int RootFd(HostPath* path)
{
    if (!g_rootPath[0]) return AT_FDCWD;
    if (!g_walk.searches) return path->ownedFds[0] = open(g_rootPath, kFolderFlags & ~O_NOFOLLOW);
    if (g_walk.rootFd < 0) g_walk.rootFd = open(g_rootPath, kFolderFlags & ~O_NOFOLLOW);
    return g_walk.rootFd;
}

bool OpenFolder(const char* asked, HostPath* path)
{
    const int rootFd = RootFd(path);
    if (rootFd == -1) return false;
    if (!asked[0]) {
        path->folderFd = rootFd;
        return true;
    }
    if (WalkFolder* held = g_walk.searches ? g_walk.Held(asked) : nullptr) {
        path->folderFd = held->fd;
        memcpy(path->folder, held->stored.c_str(), held->stored.size() + 1);
        return true;
    }
    std::string stored;
    const int fd = OpenFolderByNames(rootFd, asked, &stored);
    if (fd < 0 || stored.size() >= kHostPathCapacity) return false;
    memcpy(path->folder, stored.c_str(), stored.size() + 1);
    path->folderFd = fd;
    if (g_walk.searches) g_walk.Hold(fd, asked, path->folder);
    else path->ownedFds[1] = fd;
    return true;
}

// The last name as stored, and its status; exact name first.
bool FindStoredName(HostPath* path)
{
    std::string stored;
    if (g_walk.searches && g_walk.indexed && g_walk.index.folder == path->folder) {
        stored = g_walk.index.Find(path->name); // the folder the walk fills: its index is the truth
    } else {
        if (g_hostCalls.fstatat(path->folderFd, path->name, &path->status, AT_SYMLINK_NOFOLLOW) == 0)
            return path->exists = true;
        if (errno != ENOENT) return false;
        if (!(g_walk.searches ? g_walk.FindIndexed(path, &stored) : FindInListing(path->folderFd, path->name, &stored)))
            return false;
    }
    if (stored.empty()) return true;
    if (g_hostCalls.fstatat(path->folderFd, stored.c_str(), &path->status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT; // gone meanwhile
    memcpy(path->name, stored.c_str(), stored.size() + 1);
    return path->exists = true;
}

bool IsListedEntry(const WCHAR* devicePath)
{
    if (!g_walk.searches || !g_walk.listed[0]) return false;
    for (size_t i = 0;; ++i) {
        if (devicePath[i] != g_walk.listed[i]) return false;
        if (!devicePath[i]) return true;
    }
}

} // namespace

void CloseQuietly(int fd)
{
    const int saved = errno;
    close(fd);
    errno = saved;
}

WCHAR HostFoldUnit(WCHAR unit) { return FoldUnit(unit); }

HostPath::~HostPath()
{
    for (int fd : ownedFds)
        if (fd >= 0) CloseQuietly(fd);
}

bool ResolvePath(const WCHAR* devicePath, HostPath* path)
{
    char hostPath[kHostPathCapacity];
    const int length = HostPathFromDevice(devicePath, hostPath, sizeof hostPath);
    char* slash = length > 0 ? strrchr(hostPath, '/') : nullptr;
    const char* name = slash ? slash + 1 : hostPath;
    if (length <= 0) {
        errno = EINVAL;
        return false;
    }
    memcpy(path->name, name, strlen(name) + 1);
    if (slash) *slash = 0;
    else hostPath[0] = 0;
    if (!OpenFolder(hostPath, path)) return false;
    if (!IsListedEntry(devicePath)) return FindStoredName(path);
    path->status = g_walk.listedStatus;
    return path->exists = true;
}

void NoteListedEntry(const WCHAR* pattern, const WCHAR* name, const struct stat* status)
{
    g_walk.listed[0] = 0;
    size_t folderLength = 0;
    for (size_t i = 0; pattern[i]; ++i)
        if (pattern[i] == u'\\' || pattern[i] == u'/') folderLength = i + 1;
    size_t nameLength = 0;
    while (name[nameLength]) ++nameLength;
    if (!g_walk.searches || folderLength + nameLength >= MAX_PATH) return;
    memcpy(g_walk.listed, pattern, folderLength * sizeof(WCHAR));
    memcpy(g_walk.listed + folderLength, name, (nameLength + 1) * sizeof(WCHAR));
    g_walk.listedStatus = *status;
}

bool ResolveRoot(HostPath* path)
{
    memcpy(path->name, ".", 2);
    path->folderFd = RootFd(path);
    return path->folderFd != -1 && g_hostCalls.fstatat(path->folderFd, ".", &path->status, 0) == 0 &&
           (path->exists = true);
}

int CreateFileEntry(HostPath* path, int flags, mode_t mode)
{
    const int fd = g_hostCalls.openat(path->folderFd, path->name, flags | O_CREAT | O_EXCL, mode);
    if (fd >= 0) g_walk.Changed(path, false, true);
    return fd;
}

bool CreateFolderEntry(HostPath* path)
{
    if (g_hostCalls.mkdirat(path->folderFd, path->name, 0777) != 0) return false;
    g_walk.Changed(path, true, true);
    return true;
}

bool RemoveEntry(HostPath* path, bool folder)
{
    if (g_hostCalls.unlinkat(path->folderFd, path->name, folder ? AT_REMOVEDIR : 0) != 0) return false;
    g_walk.Changed(path, folder, false);
    return true;
}

void BeginSearch(void) { ++g_walk.searches; }
int OpenSearchCount(void) { return g_walk.searches; }

void EndSearch(void)
{
    if (g_walk.searches > 0 && --g_walk.searches == 0) {
        g_walk.DropFolders();
        g_walk.creationMask = -1;
    }
}

mode_t CreationMask(void)
{
    if (g_walk.searches && g_walk.creationMask >= 0) return static_cast<mode_t>(g_walk.creationMask);
    const mode_t mask = umask(0);
    umask(mask);
    if (g_walk.searches) g_walk.creationMask = static_cast<int>(mask);
    return mask;
}

bool SetHostRoot(const char* hostFolder)
{
    char resolved[PATH_MAX] = {0};
    if (hostFolder) {
        const int fd = open(hostFolder, O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        CloseQuietly(fd);
        if (!realpath(hostFolder, resolved)) return false;
    }
    g_walk.DropFolders();
    memcpy(g_rootPath, resolved, sizeof resolved);
    return true;
}
