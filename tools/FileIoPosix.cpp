// FileIo on Linux: libcrypto's EVP for SHA-256, POSIX files, fsync and
// posix_fadvise for the read-back, renameat2 for the exchange, and
// /proc/self/mountinfo for what a volume is.
#include "FileIo.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
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

InputFile::~InputFile() { Close(); }

bool InputFile::Open(const fs::path& file, ReadMode mode, std::string* why)
{
    Close();
    const int descriptor = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (descriptor < 0) {
        *why = strerror(errno);
        return false;
    }
    // Clean pages only: what Sync wrote out is clean, so the reads below
    // come from the volume (a tmpfs keeps no other copy and keeps them).
    if (mode == ReadMode::FromTheVolume) posix_fadvise(descriptor, 0, 0, POSIX_FADV_DONTNEED);
    posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    handle_ = descriptor;
    return true;
}

long long InputFile::Read(ChunkBuffer* buffer, std::string* why)
{
    size_t got = 0;
    while (got < ChunkBuffer::kBytes) {
        const ssize_t count = read(static_cast<int>(handle_), buffer->Data() + got, ChunkBuffer::kBytes - got);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            *why = strerror(errno);
            return -1;
        }
        if (count == 0) break;
        got += static_cast<size_t>(count);
    }
    return static_cast<long long>(got);
}

void InputFile::Close()
{
    if (handle_ >= 0) close(static_cast<int>(handle_));
    handle_ = -1;
}

OutputFile::~OutputFile()
{
    if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool OutputFile::Create(const fs::path& file, std::string* why)
{
    const int descriptor = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        *why = strerror(errno);
        return false;
    }
    handle_ = descriptor;
    return true;
}

bool OutputFile::Write(const void* bytes, size_t count, std::string* why)
{
    const char* next = static_cast<const char*>(bytes);
    while (count) {
        const ssize_t written = write(static_cast<int>(handle_), next, count);
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) {
            *why = strerror(errno);
            return false;
        }
        next += written;
        count -= static_cast<size_t>(written);
    }
    return true;
}

bool OutputFile::Sync(std::string* why)
{
    if (fsync(static_cast<int>(handle_)) != 0) {
        *why = strerror(errno);
        return false;
    }
    posix_fadvise(static_cast<int>(handle_), 0, 0, POSIX_FADV_DONTNEED);
    return true;
}

bool OutputFile::Close(std::string* why)
{
    const int descriptor = static_cast<int>(handle_);
    handle_ = -1;
    if (close(descriptor) != 0) {
        *why = strerror(errno);
        return false;
    }
    return true;
}

bool SyncFolder(const fs::path& folder, std::string* why)
{
    const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        *why = strerror(errno);
        return false;
    }
    // Some drivers (FUSE ones among them) take no fsync of a folder: their
    // entries are written with the files.
    const bool synced = fsync(descriptor) == 0 || errno == EINVAL || errno == ENOSYS;
    if (!synced) *why = strerror(errno);
    close(descriptor);
    return synced;
}

bool RenameOver(const fs::path& from, const fs::path& to, std::string* why)
{
    if (rename(from.c_str(), to.c_str()) == 0) return true;
    *why = strerror(errno);
    return false;
}

bool RenameToNew(const fs::path& from, const fs::path& to, std::string* why)
{
#ifdef RENAME_NOREPLACE
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS) {
        *why = strerror(errno);
        return false;
    }
#endif
    struct stat status;
    if (lstat(to.c_str(), &status) == 0) {
        *why = strerror(EEXIST);
        return false;
    }
    if (rename(from.c_str(), to.c_str()) != 0) {
        *why = strerror(errno);
        return false;
    }
    return true;
}

SwapOutcome ExchangeFolders(const fs::path& first, const fs::path& second, std::string* why)
{
#ifdef RENAME_EXCHANGE
    if (renameat2(AT_FDCWD, first.c_str(), AT_FDCWD, second.c_str(), RENAME_EXCHANGE) == 0) return SwapOutcome::Swapped;
    if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) return SwapOutcome::Unsupported;
    *why = strerror(errno);
    return SwapOutcome::Failed;
#else
    (void)first;
    (void)second;
    (void)why;
    return SwapOutcome::Unsupported;
#endif
}

namespace {

struct MountLine {
    std::string point;
    std::string type;
    std::string source;
};

// "\040" and the like, as mountinfo escapes spaces in paths.
std::string Unescaped(const std::string& text)
{
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && isdigit(static_cast<unsigned char>(text[i + 1]))) {
            plain += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
            i += 3;
        } else {
            plain += text[i];
        }
    }
    return plain;
}

// The mount holding the folder: the longest mount point above it.
MountLine MountOf(const fs::path& folder)
{
    std::error_code error;
    const std::string path = fs::weakly_canonical(fs::absolute(folder, error), error).string();
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    MountLine best;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string id, parent, numbers, root, point, field;
        if (!(fields >> id >> parent >> numbers >> root >> point)) continue;
        while (fields >> field && field != "-") {
        }
        MountLine mount;
        mount.point = Unescaped(point);
        if (!(fields >> mount.type >> mount.source)) continue;
        const bool above = path == mount.point || mount.point == "/" ||
                           (path.compare(0, mount.point.size(), mount.point) == 0 && path[mount.point.size()] == '/');
        if (above && mount.point.size() >= best.point.size()) best = mount;
    }
    return best;
}

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
    const MountLine mount = MountOf(folder);
    if (mount.type == "fuse.fusefat" || (mount.type.rfind("fuse", 0) == 0 && mount.source == "fusefat"))
        return "fusefat";
    return std::string();
}

VolumeFacts DescribeVolume(const fs::path& folder)
{
    const MountLine mount = MountOf(folder);
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
