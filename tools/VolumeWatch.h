// What station needs of the system to see cards come and to let them go:
// on Linux new mounts below watched folders (the mount table, MountTable.h)
// and their release through udisks2 or umount2 (VolumeWatchPosix.cpp); on
// Windows removable drives that hold a volume (VolumeWatchWin32.cpp).
#ifndef PELK_TOOLS_VOLUME_WATCH_H
#define PELK_TOOLS_VOLUME_WATCH_H

#include <filesystem>
#include <string>
#include <vector>

namespace tool {

struct WatchedVolume {
    std::filesystem::path root; // the card folder: a mount point, a drive's root ("E:\")
    std::string device;         // what is mounted there ("/dev/sdb1", an image, "\\.\E:")
};

// Linux: /media and /run/media, where the desktop mounts removable media;
// Windows: none, every removable drive is watched.
std::vector<std::filesystem::path> DefaultWatchFolders();

struct VolumeWatch;
// Starts watching below the folders (absolute; on Windows there must be
// none). Null, with *why set, when a folder cannot be watched.
VolumeWatch* WatchVolumes(const std::vector<std::filesystem::path>& folders, std::string* why);
// The volumes there now.
std::vector<WatchedVolume> VolumesNow(VolumeWatch* watch);
// Waits until the volumes may have changed (true), or until
// WakeVolumeWatch (false).
bool AwaitVolumeChange(VolumeWatch* watch);
// From any thread.
void WakeVolumeWatch(VolumeWatch* watch);
void EndVolumeWatch(VolumeWatch* watch);

// The volume flushed and released for removal (Linux: udisksctl unmount and
// power-off where udisks2 answers, else umount2; Windows: locked,
// dismounted and ejected). *how says what was done; false with *why set.
// In a table, as FileIo.h's calls, so that a test can make it fail.
struct ReleaseCalls {
    bool (*release)(const WatchedVolume& volume, std::string* how, std::string* why);
};
extern ReleaseCalls g_releaseCalls;
extern const ReleaseCalls kReleaseCalls;

} // namespace tool

#endif
