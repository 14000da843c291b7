// pelk-mapcopy on Linux: dlopen, chdir, statvfs, statfs and the mount
// table, TIOCGWINSZ, the host file layer's own conversions, and the
// program's entry.
#include "ToolPlatform.h"
#include "Names.h"

#include "MountTable.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <sys/vfs.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

namespace tool {

struct Module {
    void* handle;
};

fs::path ToolFolder()
{
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path(".") : self.parent_path();
}

fs::path DefaultModule()
{
    const char kModule[] = "libPELK_UserMapCopy.so";
    const fs::path folder = ToolFolder();
    std::error_code error;
    if (fs::exists(folder / kModule, error)) return folder / kModule;
    return (folder / PELK_INSTALLED_MODULE_DIR / kModule).lexically_normal();
}

Module* LoadModule(const fs::path& file, std::string* why)
{
    // A path with a "/" is opened as a file, never searched for.
    const fs::path absolute = fs::absolute(file);
    void* handle = dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        *why = dlerror();
        return nullptr;
    }
    return new Module{handle};
}

void* FindExport(Module* module, const char* name) { return dlsym(module->handle, name); }

void UnloadModule(Module* module)
{
    dlclose(module->handle);
    delete module;
}

bool EnterDeviceRoot(const fs::path& folder, std::string* why)
{
    // The host file layer, in this program and in the module, roots the
    // device at the current directory.
    if (chdir(folder.c_str()) != 0) {
        *why = strerror(errno);
        return false;
    }
    if (!HostSetDeviceRoot(nullptr)) {
        *why = strerror(errno);
        return false;
    }
    return true;
}

fs::path HostPathOf(const WCHAR* devicePath)
{
    char host[4096];
    if (devicePath[0] == 0) return fs::path();
    if (HostPathFromDevice(devicePath, host, sizeof host) < 0) return fs::path();
    return fs::path(host);
}

DeviceString FoldedName(const WCHAR* name)
{
    // The host layer's own folding, which finds the names.
    DeviceString folded;
    for (; *name; ++name) folded += HostFoldUnit(*name);
    return folded;
}

std::string LastErrorText()
{
    // The host layer leaves errno as the failing system call set it.
    if (errno != 0) return strerror(errno);
    return "error " + std::to_string(GetLastError());
}

namespace {

// A FUSE driver reports blocks of its own choosing: fusefat's are 1 KiB
// whatever the cluster, but its f_files is the volume's count of data
// clusters, which gives the cluster. 0 for any other volume, or a ratio
// that is no cluster size FAT has.
uint64_t FuseClusterBytes(const fs::path& path, const struct statvfs& volume)
{
    const long kFuseMagic = 0x65735546;
    struct statfs kind;
    if (statfs(path.c_str(), &kind) != 0 || kind.f_type != kFuseMagic || volume.f_files == 0) return 0;
    const uint64_t bytes = static_cast<uint64_t>(volume.f_blocks) * volume.f_frsize;
    const uint64_t unit = bytes / volume.f_files;
    const bool fatCluster = unit >= 512 && unit <= 64 * 1024 && (unit & (unit - 1)) == 0;
    return fatCluster && bytes % volume.f_files == 0 ? unit : 0;
}

} // namespace

bool FreeSpace(const fs::path& path, VolumeSpace* space, std::string* why)
{
    struct statvfs volume;
    if (statvfs(path.c_str(), &volume) != 0) {
        *why = strerror(errno);
        return false;
    }
    // f_bsize is the volume's allocation unit (a FAT cluster); f_frsize
    // counts the blocks.
    space->known = volume.f_blocks != 0;
    space->freeBytes = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    space->clusterBytes = volume.f_bsize ? volume.f_bsize : volume.f_frsize;
    space->clusterBytes = std::max(space->clusterBytes, FuseClusterBytes(path, volume));
    return true;
}

fs::path AbsoluteFolder(const std::string& typed)
{
    // A link to a card folder is that card.
    std::error_code ignored;
    fs::path folder = fs::canonical(fs::u8path(typed), ignored);
    if (!folder.empty()) return folder;
    return NormalFolder(fs::u8path(typed));
}

bool VolumeFileSystem(const fs::path& folder, FileSystemKind* kind, std::string* why)
{
    struct statfs volume;
    if (statfs(folder.c_str(), &volume) != 0) {
        *why = strerror(errno);
        return false;
    }
    // The kernel's FAT (vfat, msdos) by its magic; behind FUSE the kernel
    // sees FUSE only, and the mount table tells fusefat.
    const MountFacts mount = MountHolding(folder);
    kind->fat = volume.f_type == MSDOS_SUPER_MAGIC || IsFusefat(mount);
    char type[32];
    snprintf(type, sizeof type, "of type 0x%llx", static_cast<unsigned long long>(volume.f_type));
    kind->name = mount.type.empty() ? type : mount.type;
    return true;
}

const VolumeCalls kVolumeCalls = {VolumeFileSystem};
VolumeCalls g_volumeCalls = kVolumeCalls;

namespace {

// What the job and the thread that waits for its signals share.
struct Interruption {
    std::mutex lock;
    bool jobDone = false;
};

// Waits for SIGINT or SIGTERM, blocked in every other thread, until the job is done.
void WaitForInterrupt(sigset_t caught, Interruption* shared, OnSignal stop, const OnSignal& interrupted)
{
    const struct timespec tick = {0, 100 * 1000 * 1000};
    for (;;) {
        const int signal = sigtimedwait(&caught, nullptr, &tick);
        std::lock_guard<std::mutex> lock(shared->lock);
        if (shared->jobDone) return;
        if (signal != SIGINT && signal != SIGTERM) continue; // the tick, or a stray SIGUSR1
        const int code = 128 + signal;
        if (stop) {
            stop(code);
            stop = nullptr;
            continue;
        }
        interrupted(code);
        fflush(stdout);
        fflush(stderr);
        _exit(code);
    }
}

} // namespace

int32_t RunInterruptible(const Job& job, const OnSignal& interrupted)
{
    return RunStoppable(job, OnSignal(), interrupted);
}

int32_t RunStoppable(const Job& job, const OnSignal& stop, const OnSignal& interrupted)
{
    sigset_t caught;
    sigset_t previous;
    sigemptyset(&caught);
    sigaddset(&caught, SIGINT);
    sigaddset(&caught, SIGTERM);
    sigaddset(&caught, SIGUSR1); // wakes the waiter once the job is done
    // Blocked here, so in every thread started from here on (the bar's too).
    pthread_sigmask(SIG_BLOCK, &caught, &previous);
    Interruption shared;
    std::thread waiter(WaitForInterrupt, caught, &shared, stop, std::cref(interrupted));
    const int32_t status = job();
    {
        // Blocks while a signal is being handled: the process exits there.
        std::lock_guard<std::mutex> lock(shared.lock);
        shared.jobDone = true;
    }
    pthread_kill(waiter.native_handle(), SIGUSR1);
    waiter.join();
    // A signal that came once the job was done is too late to stop it: the
    // results are reported in full rather than cut off by its default action.
    const struct timespec now = {0, 0};
    while (sigtimedwait(&caught, nullptr, &now) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return status;
}

EntryKind KindOnDisk(const fs::path& path, uint64_t* fileSystem)
{
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) return EntryKind::Missing;
    *fileSystem = static_cast<uint64_t>(status.st_dev);
    if (S_ISREG(status.st_mode)) return EntryKind::File;
    if (S_ISDIR(status.st_mode)) return EntryKind::Folder;
    if (S_ISLNK(status.st_mode)) return EntryKind::Link;
    if (S_ISFIFO(status.st_mode)) return EntryKind::Fifo;
    if (S_ISSOCK(status.st_mode)) return EntryKind::Socket;
    return EntryKind::Device;
}

bool IsFileSystemRoot(const fs::path& folder)
{
    struct stat self;
    struct stat parent;
    if (stat(folder.c_str(), &self) != 0 || stat((folder / "..").c_str(), &parent) != 0) return false;
    return self.st_dev != parent.st_dev || self.st_ino == parent.st_ino;
}

struct FolderWatch {
    int descriptor;
};

FolderWatch* WatchFolder(const fs::path& folder)
{
    const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return descriptor < 0 ? nullptr : new FolderWatch{descriptor};
}

bool FolderRemoved(FolderWatch* watch)
{
    if (!watch) return false;
    struct stat status;
    // A FUSE driver may answer for a removed folder with an error.
    return fstat(watch->descriptor, &status) != 0 || status.st_nlink == 0;
}

void EndWatch(FolderWatch* watch)
{
    if (!watch) return;
    close(watch->descriptor);
    delete watch;
}

struct FolderLock {
    int descriptor;
};

namespace {

// The process holding a flock on the file (device, inode), as /proc/locks
// lists it ("1: FLOCK ADVISORY WRITE 1234 00:2e:5678 0 EOF"); 0 if none.
long FlockHolder(const struct stat& folder)
{
    char wanted[64];
    snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(folder.st_dev), minor(folder.st_dev),
             static_cast<unsigned long long>(folder.st_ino));
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, file;
        long pid = 0;
        if (!(fields >> number >> kind)) continue;
        if (kind == "->") fields >> kind; // a waiter
        if (fields >> mode >> access >> pid >> file && kind == "FLOCK" && file == wanted) return pid;
    }
    return 0;
}

// The pelk-mapcopy command a process runs: its first argument that names
// one, from /proc/PID/cmdline.
std::string CommandOf(long pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string argument;
    bool first = true;
    while (std::getline(file, argument, '\0')) {
        if (!first && (argument == "seal" || argument == "verify" || argument == "run" || argument == "write" ||
                       argument == "station" || argument == "check"))
            return argument;
        first = false;
    }
    return std::string();
}

} // namespace

LockOutcome LockFolder(const fs::path& folder, const char*, FolderLock** lock, LockHolder* holder, std::string* why)
{
    const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        *why = strerror(errno);
        return LockOutcome::Failed;
    }
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        struct stat status;
        holder->pid = error == EWOULDBLOCK && fstat(descriptor, &status) == 0 ? FlockHolder(status) : 0;
        holder->self = holder->pid == static_cast<long>(getpid());
        if (holder->pid) holder->command = CommandOf(holder->pid);
        close(descriptor);
        if (error == EWOULDBLOCK) return LockOutcome::HeldElsewhere;
        *why = strerror(error);
        return LockOutcome::Failed;
    }
    *lock = new FolderLock{descriptor};
    return LockOutcome::Taken;
}

void UnlockFolder(FolderLock* lock)
{
    if (!lock) return;
    close(lock->descriptor);
    delete lock;
}

std::string PathText(const fs::path& path) { return EscapedBytes(path.native()); }

int ErrorTerminalColumns()
{
    if (!isatty(STDERR_FILENO)) return 0;
    struct winsize size;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

namespace {

void WriteToTerminal(const std::string& text) { fputs(text.c_str(), stderr); }

void LineUp(size_t lines)
{
    if (lines == 0) fputs("\r", stderr);
    else fprintf(stderr, "\r\033[%zuA", lines);
}

void ClearToEnd() { fputs("\033[K", stderr); }

} // namespace

const TerminalCalls kTerminalCalls = {WriteToTerminal, LineUp, ClearToEnd};
TerminalCalls g_terminalCalls = kTerminalCalls;

} // namespace tool
