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

// The better of two names on disk for a name asked: the exact one, else the
// first in byte order.
void KeepBetter(const char* asked, const char* candidate, std::string* best)
{
    if (*best == asked) return;
    if (best->empty() || strcmp(candidate, asked) == 0 || strcmp(candidate, best->c_str()) < 0) *best = candidate;
}

// One listing: the stored name equal to name ignoring case, "" for none.
bool FindInListing(int folderFd, const char* name, std::string* found)
{
    std::u16string wanted, folded;
    found->clear();
    if (!FoldName(name, &wanted)) return true;
    return ListFolder(folderFd, [&](const char* entry) {
        if (FoldName(entry, &folded) && folded == wanted) KeepBetter(name, entry, found);
    });
}

bool IsAtOrBelow(const std::string& path, const std::string& folder)
{
    return path.compare(0, folder.size(), folder) == 0 && (path.size() == folder.size() || path[folder.size()] == '/');
}

// ---- what a walk keeps ------------------------------------------------------

struct WalkFolder {
    int fd = -1;
    unsigned lastUse = 0;
    std::string asked;
    std::string stored;
};

// The root, the folders the walk uses and the names of the one folder it
// fills, from the first open search to the last one closed. Changes the
// layer makes go through Added and Removed, which keep it true.
class Walk {
public:
    bool Active() const { return searches_ > 0; }
    void Begin() { ++searches_; }
    void End()
    {
        if (searches_ > 0 && --searches_ == 0) Drop();
    }
    int Searches() const { return searches_; }

    void Drop()
    {
        DropFolders();
        creationMask_ = -1;
    }

    // Closes what the walk holds; it goes on with the next use.
    void DropFolders()
    {
        for (WalkFolder& folder : folders_) {
            if (folder.fd >= 0) CloseQuietly(folder.fd);
            folder = WalkFolder();
        }
        if (rootFd_ >= 0) CloseQuietly(rootFd_);
        rootFd_ = -1;
        indexed_ = false;
        index_.clear();
    }

    int RootFd()
    {
        if (rootFd_ < 0) rootFd_ = open(g_rootPath, kFolderFlags & ~O_NOFOLLOW);
        return rootFd_;
    }

    WalkFolder* CachedFolder(const char* asked)
    {
        for (WalkFolder& folder : folders_)
            if (folder.fd >= 0 && folder.asked == asked) {
                folder.lastUse = ++clock_;
                return &folder;
            }
        return nullptr;
    }

    void KeepFolder(int fd, const char* asked, const char* stored)
    {
        WalkFolder* slot = &folders_[0];
        for (WalkFolder& folder : folders_)
            if (folder.lastUse < slot->lastUse) slot = &folder;
        if (slot->fd >= 0) CloseQuietly(slot->fd);
        *slot = WalkFolder{fd, ++clock_, asked, stored};
    }

    // The stored name equal to path's name ignoring case, "" for none.
    bool FindIndexed(const HostPath* path, std::string* found)
    {
        found->clear();
        if (!indexed_ || indexFolder_ != path->folder) {
            index_.clear();
            indexed_ = ListFolder(path->folderFd, [&](const char* entry) { AddToIndex(entry); });
            if (!indexed_) return false;
            indexFolder_ = path->folder;
        }
        std::u16string wanted;
        if (!FoldName(path->name, &wanted)) return true;
        auto matches = index_.equal_range(wanted);
        for (auto it = matches.first; it != matches.second; ++it) KeepBetter(path->name, it->second.c_str(), found);
        return true;
    }

    void Added(const HostPath* path, bool folder)
    {
        if (indexed_ && indexFolder_ == path->folder) AddToIndex(path->name);
        if (folder) StartIndex(path); // a folder just made is empty: no listing needed
    }

    void Removed(const HostPath* path, bool folder)
    {
        if (folder) {
            // What the walk holds of the folder or below it goes.
            const std::string removed = path->folder[0] ? std::string(path->folder) + "/" + path->name : path->name;
            for (WalkFolder& held : folders_)
                if (held.fd >= 0 && IsAtOrBelow(held.stored, removed)) {
                    CloseQuietly(held.fd);
                    held = WalkFolder();
                }
            if (indexed_ && IsAtOrBelow(indexFolder_, removed)) indexed_ = false;
        }
        if (!indexed_ || indexFolder_ != path->folder) return;
        std::u16string folded;
        if (!FoldName(path->name, &folded)) return;
        auto matches = index_.equal_range(folded);
        for (auto it = matches.first; it != matches.second; ++it)
            if (it->second == path->name) {
                index_.erase(it);
                return;
            }
    }

    mode_t CreationMask()
    {
        if (creationMask_ < 0) {
            const mode_t mask = umask(0);
            umask(mask);
            creationMask_ = static_cast<int>(mask);
        }
        return static_cast<mode_t>(creationMask_);
    }

private:
    void AddToIndex(const char* name)
    {
        std::u16string folded;
        if (FoldName(name, &folded)) index_.emplace(folded, name);
    }
    void StartIndex(const HostPath* path)
    {
        if (!Active()) return;
        index_.clear();
        indexed_ = true;
        indexFolder_ = path->folder[0] ? std::string(path->folder) + "/" + path->name : path->name;
    }

    int searches_ = 0;
    int rootFd_ = -1;
    WalkFolder folders_[4];
    unsigned clock_ = 0;
    bool indexed_ = false;
    std::string indexFolder_;
    std::unordered_multimap<std::u16string, std::string> index_;
    int creationMask_ = -1;
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
    if (g_walk.Active()) return g_walk.RootFd();
    return path->ownedFds[0] = open(g_rootPath, kFolderFlags & ~O_NOFOLLOW);
}

bool OpenFolder(const char* asked, HostPath* path)
{
    const int rootFd = RootFd(path);
    if (rootFd == -1) return false;
    if (!asked[0]) {
        path->folderFd = rootFd;
        return true;
    }
    if (WalkFolder* cached = g_walk.Active() ? g_walk.CachedFolder(asked) : nullptr) {
        path->folderFd = cached->fd;
        memcpy(path->folder, cached->stored.c_str(), cached->stored.size() + 1);
        return true;
    }
    std::string stored;
    const int fd = OpenFolderByNames(rootFd, asked, &stored);
    if (fd < 0 || stored.size() >= kHostPathCapacity) return false;
    memcpy(path->folder, stored.c_str(), stored.size() + 1);
    path->folderFd = fd;
    if (g_walk.Active()) g_walk.KeepFolder(fd, asked, path->folder);
    else path->ownedFds[1] = fd;
    return true;
}

// The last name as stored, and its status; exact name first.
bool FindStoredName(HostPath* path)
{
    if (g_hostCalls.fstatat(path->folderFd, path->name, &path->status, AT_SYMLINK_NOFOLLOW) == 0)
        return path->exists = true;
    if (errno != ENOENT) return false;
    std::string stored;
    if (!(g_walk.Active() ? g_walk.FindIndexed(path, &stored) : FindInListing(path->folderFd, path->name, &stored)))
        return false;
    if (stored.empty()) return true;
    if (g_hostCalls.fstatat(path->folderFd, stored.c_str(), &path->status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT; // gone meanwhile
    memcpy(path->name, stored.c_str(), stored.size() + 1);
    return path->exists = true;
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
    return OpenFolder(hostPath, path) && FindStoredName(path);
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
    if (fd >= 0) g_walk.Added(path, false);
    return fd;
}

bool CreateFolderEntry(HostPath* path)
{
    if (g_hostCalls.mkdirat(path->folderFd, path->name, 0777) != 0) return false;
    g_walk.Added(path, true);
    return true;
}

bool RemoveEntry(HostPath* path, bool folder)
{
    if (g_hostCalls.unlinkat(path->folderFd, path->name, folder ? AT_REMOVEDIR : 0) != 0) return false;
    g_walk.Removed(path, folder);
    return true;
}

void BeginSearch(void) { g_walk.Begin(); }
void EndSearch(void) { g_walk.End(); }
int OpenSearchCount(void) { return g_walk.Searches(); }

mode_t CreationMask(void)
{
    if (g_walk.Active()) return g_walk.CreationMask();
    const mode_t mask = umask(0);
    umask(mask);
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
