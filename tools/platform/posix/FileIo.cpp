// The platform's files on Linux: libcrypto's EVP for SHA-256, POSIX files, fsync and
// posix_fadvise for the read-back, renameat2 for the exchange, and the
// mount table (MountTable.h) for what a volume is.
#include "ToolPlatform.h"

#include "MountTable.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

namespace tool {

namespace {

std::string Hex(const unsigned char* bytes, size_t count)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

// Fetched once: an implicit fetch on every EVP_DigestInit_ex costs a lookup.
const EVP_MD* Sha256Method()
{
    static EVP_MD* method = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return method;
}

} // namespace

struct Sha256::State {
    EVP_MD_CTX* context;
    bool good;
};

Sha256::Sha256() : state_(new State{EVP_MD_CTX_new(), false})
{
    state_->good = state_->context && Sha256Method() && EVP_DigestInit_ex(state_->context, Sha256Method(), nullptr) == 1;
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(state_->context);
    delete state_;
}

void Sha256::Add(const void* bytes, size_t count)
{
    if (state_->good && count) state_->good = EVP_DigestUpdate(state_->context, bytes, count) == 1;
}

std::string Sha256::Finish()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool good = state_->good && EVP_DigestFinal_ex(state_->context, digest, &length) == 1 && length == 32;
    state_->good = false;
    return good ? Hex(digest, length) : std::string();
}

namespace {

int FolderFd(Handle folder) { return folder == kNoFolder ? AT_FDCWD : static_cast<int>(folder); }

int Failed() { return errno ? errno : EIO; }

int OpenEntry(Handle folder, const fs::path& name, OpenAs as, Handle* opened)
{
    int flags = O_CLOEXEC | O_NOFOLLOW;
    switch (as) {
    case OpenAs::ReadCached:
    case OpenAs::ReadFromVolume: flags |= O_RDONLY; break;
    case OpenAs::CreateNew: flags |= O_WRONLY | O_CREAT | O_EXCL; break;
    case OpenAs::Folder: flags |= O_RDONLY | O_DIRECTORY; break;
    }
    const int descriptor = openat(FolderFd(folder), name.c_str(), flags, 0644);
    if (descriptor < 0) return Failed();
    // Clean pages only: what a flush wrote out is clean, so the reads that
    // follow come from the volume (a tmpfs keeps no other copy and keeps them).
    if (as == OpenAs::ReadFromVolume) posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
    if (as == OpenAs::ReadCached || as == OpenAs::ReadFromVolume)
        posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    *opened = descriptor;
    return 0;
}

int ReadSome(Handle file, void* bytes, size_t count, size_t* got)
{
    for (;;) {
        const ssize_t n = read(static_cast<int>(file), bytes, count);
        if (n >= 0) {
            *got = static_cast<size_t>(n);
            return 0;
        }
        if (errno != EINTR) return Failed();
    }
}

int WriteSome(Handle file, const void* bytes, size_t count, size_t* written)
{
    for (;;) {
        const ssize_t n = write(static_cast<int>(file), bytes, count);
        if (n >= 0) {
            *written = static_cast<size_t>(n);
            return 0;
        }
        if (errno != EINTR) return Failed();
    }
}

int SyncEntry(Handle handle)
{
    const int descriptor = static_cast<int>(handle);
    if (fsync(descriptor) == 0) return 0;
    // Some drivers (FUSE ones among them) take no fsync of a folder: their
    // volume is flushed whole instead.
    if ((errno == EINVAL || errno == ENOSYS) && syncfs(descriptor) == 0) return 0;
    return Failed();
}

int SyncVolume(Handle folder)
{
    const long kFuseMagic = 0x65735546;
    struct statfs volume;
    if (fstatfs(FolderFd(folder), &volume) != 0) return Failed();
    if (volume.f_type == kFuseMagic) return ENOTSUP;
    return syncfs(FolderFd(folder)) == 0 ? 0 : Failed();
}

int CloseHandle(Handle handle) { return close(static_cast<int>(handle)) == 0 ? 0 : Failed(); }

int MakeFolder(Handle folder, const fs::path& name)
{
    return mkdirat(FolderFd(folder), name.c_str(), 0755) == 0 ? 0 : Failed();
}

int RenameEntry(Handle folder, const fs::path& from, const fs::path& to, RenameAs as)
{
    const int fd = FolderFd(folder);
    if (as == RenameAs::Replace) return renameat(fd, from.c_str(), fd, to.c_str()) == 0 ? 0 : Failed();
    const unsigned flags = as == RenameAs::Exchange ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (renameat2(fd, from.c_str(), fd, to.c_str(), flags) == 0) return 0;
    if (as == RenameAs::Exchange || (errno != EINVAL && errno != ENOSYS)) return Failed();
    // No RENAME_NOREPLACE on this volume (FUSE): the check and the rename
    // are two steps, which the card's lock keeps apart from any writer.
    struct stat status;
    if (fstatat(fd, to.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    return renameat(fd, from.c_str(), fd, to.c_str()) == 0 ? 0 : Failed();
}

int RemoveEntry(Handle folder, const fs::path& name, bool isFolder)
{
    return unlinkat(FolderFd(folder), name.c_str(), isFolder ? AT_REMOVEDIR : 0) == 0 ? 0 : Failed();
}

EntryFacts FactsOf(const struct stat& status)
{
    EntryFacts facts;
    facts.kind = S_ISREG(status.st_mode) ? Kind::File : S_ISDIR(status.st_mode) ? Kind::Folder : Kind::Other;
    facts.bytes = facts.kind == Kind::File ? static_cast<uint64_t>(status.st_size) : 0;
    return facts;
}

int ListFolder(Handle folder, std::vector<Listed>* entries)
{
    const int copy = fcntl(FolderFd(folder), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) return Failed();
    DIR* listing = fdopendir(copy);
    if (!listing) {
        const int error = Failed();
        close(copy);
        return error;
    }
    rewinddir(listing);
    entries->clear();
    for (;;) {
        errno = 0;
        const struct dirent* entry = readdir(listing);
        if (!entry) break;
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        struct stat status;
        if (fstatat(dirfd(listing), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) continue;
            break;
        }
        entries->push_back({fs::path(entry->d_name), FactsOf(status)});
    }
    const int error = errno;
    closedir(listing);
    return error;
}

int EntryFactsOf(Handle folder, const fs::path& name, EntryFacts* facts)
{
    struct stat status;
    const int flags = AT_SYMLINK_NOFOLLOW | (name.empty() ? AT_EMPTY_PATH : 0);
    if (fstatat(FolderFd(folder), name.c_str(), &status, flags) != 0) return Failed();
    *facts = FactsOf(status);
    return 0;
}

int Identify(Handle handle, FileId* id)
{
    struct stat status;
    if (fstat(static_cast<int>(handle), &status) != 0) return Failed();
    id->volume = static_cast<uint64_t>(status.st_dev);
    id->file = static_cast<uint64_t>(status.st_ino);
    return 0;
}

} // namespace

const FileCalls kFileCalls = {OpenEntry,  ReadSome,    WriteSome,   SyncEntry,  SyncVolume,   CloseHandle,
                              MakeFolder, RenameEntry, RemoveEntry, ListFolder, EntryFactsOf, Identify};
FileCalls g_fileCalls = kFileCalls;

std::string ErrorText(int error) { return strerror(error); }
bool IsMissing(int error) { return error == ENOENT; }
bool IsUnsupported(int error) { return error == EINVAL || error == ENOSYS || error == ENOTSUP; }
// Linux's vfat sets a card read-only when it finds its file system damaged.
bool IsDamaged(int error) { return error == EIO || error == EROFS || error == EUCLEAN; }

void OutputFile::Drop() { posix_fadvise(static_cast<int>(handle_), 0, 0, POSIX_FADV_DONTNEED); }

namespace {

uint32_t Little(const unsigned char* bytes, size_t count)
{
    uint32_t value = 0;
    for (size_t i = count; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

std::string Trimmed(const unsigned char* bytes, size_t count)
{
    std::string text(reinterpret_cast<const char*>(bytes), count);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// A FAT boot sector's label, serial and type (by its count of clusters, as
// the FAT on-disk format decides it), when the mount's source is readable.
void ReadBootSector(const std::string& source, VolumeFacts* facts)
{
    std::ifstream device(source, std::ios::binary);
    unsigned char sector[512];
    if (!device.read(reinterpret_cast<char*>(sector), sizeof sector) || sector[510] != 0x55 || sector[511] != 0xAA)
        return;
    const uint32_t bytesPerSector = Little(sector + 11, 2);
    const uint32_t sectorsPerCluster = sector[13];
    const uint32_t reserved = Little(sector + 14, 2);
    const uint32_t fats = sector[16];
    const uint32_t rootEntries = Little(sector + 17, 2);
    const uint32_t total = Little(sector + 19, 2) ? Little(sector + 19, 2) : Little(sector + 32, 4);
    const uint32_t fatSectors = Little(sector + 22, 2) ? Little(sector + 22, 2) : Little(sector + 36, 4);
    if (bytesPerSector == 0 || sectorsPerCluster == 0) return;
    const uint32_t rootSectors = (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
    const uint32_t overhead = reserved + fats * fatSectors + rootSectors;
    if (overhead >= total) return;
    const uint32_t clusters = (total - overhead) / sectorsPerCluster;
    const bool fat32 = clusters >= 65525;
    facts->fileSystem = clusters < 4085 ? "FAT12" : fat32 ? "FAT32" : "FAT16";
    const unsigned char* extended = sector + (fat32 ? 64 : 36);
    if (extended[2] != 0x29) return; // no extended boot signature: no serial, no label
    char serial[16];
    const uint32_t number = Little(extended + 3, 4);
    snprintf(serial, sizeof serial, "%04X-%04X", number >> 16, number & 0xFFFF);
    facts->serial = serial;
    facts->label = Trimmed(extended + 7, 11);
    if (facts->label == "NO NAME") facts->label.clear();
}

} // namespace

std::string FolderRenameHazard(const fs::path& folder)
{
    return IsFusefat(MountHolding(folder)) ? "fusefat" : std::string();
}

VolumeFacts DescribeVolume(const fs::path& folder)
{
    const MountFacts mount = MountHolding(folder);
    VolumeFacts facts;
    facts.fileSystem = mount.type;
    if (mount.type == "vfat" || mount.type == "msdos" || mount.type.find("fat") != std::string::npos)
        ReadBootSector(mount.source, &facts);
    return facts;
}

bool OutputIsTerminal() { return isatty(STDOUT_FILENO) != 0; }

std::string Sha256Of(const std::string& bytes)
{
    Sha256 hash;
    hash.Add(bytes.data(), bytes.size());
    return hash.Finish();
}

} // namespace tool
