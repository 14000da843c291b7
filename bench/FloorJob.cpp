// The job's work with the fewest system calls, as a yardstick for the job:
// run in the device root (as pelk_run_job is), it empties ./MassStorage,
// copies ./SDMMC/PreDLMap into it and reads every copy back once, adding its
// bytes into a 16-bit sum. No name folding, no links, attributes or times,
// no checksum file: only what any program doing this work must ask of the
// kernel. Quiet on success (-v prints the sum to stderr); exit 1 on any error.
// --keep adds what the device's file services keep and no program can have
// for less: a stat of each listed entry (its read-only attribute, which no
// listing carries) and the copy's last-write time (futimens).
//
// What it costs, per folder emptied: openat, getdents64 until 0, close,
// unlinkat. Per file removed: unlinkat. Per folder copied: mkdirat, two
// openat, getdents64 until 0, two close. Per file copied: openat, openat,
// copy_file_range until 0, close, close, then openat, read until 0, close.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Large enough that a folder of 5,000 entries is one getdents64 plus the
// one that returns 0; one buffer per depth, allocated once and reused.
constexpr size_t kListing = 1u << 20;
constexpr size_t kReadBuffer = 1u << 20;
// copy_file_range's length: larger than any tile, so a file is one call
// that copies plus one that returns 0. Knowing the size would need an fstat
// instead of that second call, so looping till 0 is no dearer and needs no
// size at all (the kernel caps a single call near 2 GiB, hence the loop).
constexpr size_t kCopyLength = 1u << 30;

std::vector<std::unique_ptr<char[]>> g_listings;
std::unique_ptr<char[]> g_read;
uint32_t g_sum = 0;
bool g_keep = false;

[[noreturn]] void Fail(const char* what, const char* name)
{
    fprintf(stderr, "pelk_floor_job: %s %s: %s\n", what, name, strerror(errno));
    exit(1);
}

struct Entry {
    const char* name;
    unsigned char type;
    const struct stat* status; // with --keep only
};

// Calls visit(entry) for each entry of the folder open as fd but . and ..,
// one getdents64 buffer at a time; visit may remove what it was given.
template <typename Visit>
void List(int fd, size_t depth, const char* folder, Visit visit)
{
    if (g_listings.size() <= depth) g_listings.emplace_back(new char[kListing]);
    char* buffer = g_listings[depth].get();
    for (;;) {
        const long got = syscall(SYS_getdents64, fd, buffer, kListing);
        if (got < 0) Fail("list", folder);
        if (got == 0) return;
        for (long at = 0; at < got;) {
            const auto* dirent = reinterpret_cast<const struct dirent64*>(buffer + at);
            at += dirent->d_reclen;
            const char* name = dirent->d_name;
            if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
            unsigned char type = dirent->d_type;
            struct stat status;
            if (type == DT_UNKNOWN || g_keep) { // DT_UNKNOWN: not on tmpfs or ext4
                if (fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) Fail("stat", name);
                type = S_ISDIR(status.st_mode) ? DT_DIR : DT_REG;
            }
            visit(Entry{name, type, g_keep ? &status : nullptr});
        }
    }
}

void Empty(int fd, size_t depth, const char* folder)
{
    List(fd, depth, folder, [&](Entry entry) {
        if (entry.type == DT_DIR) {
            const int sub = openat(fd, entry.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (sub < 0) Fail("open", entry.name);
            Empty(sub, depth + 1, entry.name);
            close(sub);
            if (unlinkat(fd, entry.name, AT_REMOVEDIR) != 0) Fail("remove folder", entry.name);
        } else if (unlinkat(fd, entry.name, 0) != 0) {
            Fail("remove", entry.name);
        }
    });
}

bool Excluded(const char* name)
{
    // Costs no system call: the floor leaves out the job's two unsummed names
    // so that its sum is the package sum the job compares.
    return strcasecmp(name, "checksum.ini") == 0 || strcasecmp(name, "PreDLVerno.ini") == 0;
}

void ReadBack(int folder, const char* name)
{
    const int fd = openat(folder, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail("open copy", name);
    const bool summed = !Excluded(name);
    uint32_t sum = 0;
    for (;;) {
        const ssize_t got = read(fd, g_read.get(), kReadBuffer);
        if (got < 0) Fail("read copy", name);
        if (got == 0) break;
        if (summed) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(g_read.get());
            for (ssize_t i = 0; i < got; ++i) sum += bytes[i];
        }
    }
    close(fd);
    g_sum = (g_sum + sum) & 0xFFFF;
}

void CopyFile(int source, int target, const Entry& entry)
{
    const char* name = entry.name;
    const int in = openat(source, name, O_RDONLY | O_CLOEXEC);
    if (in < 0) Fail("open", name);
    const mode_t mode = entry.status ? entry.status->st_mode & 0777 : 0666;
    const int out = openat(target, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (out < 0) Fail("create", name);
    for (;;) {
        const ssize_t copied = copy_file_range(in, nullptr, out, nullptr, kCopyLength, 0);
        if (copied < 0) Fail("copy", name);
        if (copied == 0) break;
    }
    const struct timespec times[2] = {entry.status ? entry.status->st_atim : timespec(),
                                      entry.status ? entry.status->st_mtim : timespec()};
    if (entry.status && futimens(out, times) != 0) Fail("set the times of", name);
    close(in);
    close(out);
    ReadBack(target, name);
}

void Copy(int source, int target, size_t depth, const char* folder)
{
    List(source, depth, folder, [&](Entry entry) {
        if (entry.type != DT_DIR) return CopyFile(source, target, entry);
        if (mkdirat(target, entry.name, 0777) != 0) Fail("create folder", entry.name);
        const int from = openat(source, entry.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (from < 0) Fail("open", entry.name);
        const int to = openat(target, entry.name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (to < 0) Fail("open", entry.name);
        Copy(from, to, depth + 1, entry.name);
        close(from);
        close(to);
    });
}

} // namespace

int main(int argc, char** argv)
{
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-v") == 0) verbose = true;
        else if (strcmp(argv[i], "--keep") == 0) g_keep = true;
        else return fprintf(stderr, "pelk_floor_job: unknown argument %s\n", argv[i]), 64;
    }
    g_read.reset(new char[kReadBuffer]);
    // The target folder itself stays: emptied, it needs no removing and
    // creating again. It is created only when it is not there.
    int target = open("MassStorage", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (target >= 0) {
        Empty(target, 0, "MassStorage");
    } else {
        if (errno != ENOENT || mkdir("MassStorage", 0777) != 0) Fail("open", "MassStorage");
        target = open("MassStorage", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (target < 0) Fail("open", "MassStorage");
    }
    const int source = open("SDMMC/PreDLMap", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (source < 0) Fail("open", "SDMMC/PreDLMap");
    Copy(source, target, 0, "SDMMC/PreDLMap");
    if (verbose) fprintf(stderr, "%u\n", static_cast<unsigned>(g_sum));
    return 0;
}
