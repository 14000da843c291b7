// station on Linux: a card is a new mount below a watched folder, seen
// through the mount table's monitor; a good one is let go through udisks2
// where it runs, else by umount2.
#include "ToolPlatform.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "MountTable.h"

namespace fs = std::filesystem;

namespace tool {

std::vector<fs::path> DefaultWatchFolders() { return {"/media", "/run/media"}; }

struct VolumeWatch {
    std::vector<fs::path> folders;
    MountMonitor* monitor = nullptr;
    int wake[2] = {-1, -1};
};

VolumeWatch* WatchVolumes(const std::vector<fs::path>& folders, std::string* why)
{
    auto* watch = new VolumeWatch;
    for (const fs::path& folder : folders) {
        std::error_code error;
        // The table names mount points with links resolved.
        watch->folders.push_back(fs::canonical(folder, error));
        if (error) {
            *why = "cannot watch " + folder.string() + ": " + error.message();
            EndVolumeWatch(watch);
            return nullptr;
        }
    }
    watch->monitor = WatchMountTable(why);
    if (!watch->monitor || pipe2(watch->wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (watch->monitor) *why = std::string("cannot make a pipe: ") + strerror(errno);
        EndVolumeWatch(watch);
        return nullptr;
    }
    return watch;
}

std::vector<WatchedVolume> VolumesNow(VolumeWatch* watch)
{
    std::vector<WatchedVolume> volumes;
    for (const Mount& mount : MountsNow()) {
        for (const fs::path& folder : watch->folders) {
            const fs::path below = mount.target.lexically_relative(folder);
            if (below.empty() || below == "." || *below.begin() == "..") continue;
            volumes.push_back({mount.target, mount.facts.source});
            break;
        }
    }
    return volumes;
}

bool AwaitVolumeChange(VolumeWatch* watch) { return AwaitMountChange(watch->monitor, watch->wake[0]); }

void WakeVolumeWatch(VolumeWatch* watch)
{
    const char byte = 1;
    if (write(watch->wake[1], &byte, 1) < 0) {
        // Full: it is awake already.
    }
}

void EndVolumeWatch(VolumeWatch* watch)
{
    if (!watch) return;
    EndMountMonitor(watch->monitor);
    for (int end : watch->wake)
        if (end >= 0) close(end);
    delete watch;
}

namespace {

// The program found on PATH, run with its output (and errors) in *output;
// its exit code, or -1 when it could not be run.
int RunProgram(const std::vector<std::string>& arguments, std::string* output)
{
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return -1;
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        dup2(pipeEnds[1], 1);
        dup2(pipeEnds[1], 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    char buffer[512];
    for (ssize_t got; (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        output->append(buffer, static_cast<size_t>(got));
    close(pipeEnds[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool OnPath(const char* program)
{
    const char* path = getenv("PATH");
    std::string folders = path ? path : "/usr/bin:/bin";
    for (size_t start = 0; start <= folders.size();) {
        size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        const std::string candidate = folders.substr(start, end - start) + "/" + program;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

std::string FirstLine(const std::string& text)
{
    const std::string line = text.substr(0, text.find('\n'));
    return line.empty() ? "no reason given" : line;
}

// udisks2 lets a user release a card it mounted; root may unmount any.
bool ReleaseVolume(const WatchedVolume& volume, std::string* how, std::string* why)
{
    struct stat device;
    std::string said;
    const bool block = stat(volume.device.c_str(), &device) == 0 && S_ISBLK(device.st_mode);
    if (block && OnPath("udisksctl") && RunProgram({"udisksctl", "status"}, &said) == 0) {
        said.clear();
        if (RunProgram({"udisksctl", "unmount", "-b", volume.device}, &said) != 0) {
            *why = "udisksctl unmount -b " + volume.device + ": " + FirstLine(said);
            return false;
        }
        said.clear();
        if (RunProgram({"udisksctl", "power-off", "-b", volume.device}, &said) != 0) {
            *how = "unmounted (not powered off: " + FirstLine(said) + ")";
            return true;
        }
        *how = "unmounted and powered off";
        return true;
    }
    if (umount2(volume.root.c_str(), 0) != 0) {
        *why = "cannot unmount " + volume.root.string() + ": " + strerror(errno);
        return false;
    }
    *how = "unmounted";
    return true;
}

} // namespace

const ReleaseCalls kReleaseCalls = {ReleaseVolume};
ReleaseCalls g_releaseCalls = kReleaseCalls;

} // namespace tool
