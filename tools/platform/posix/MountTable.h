// Linux: the mount that holds a folder, as the system's mount table lists
// it. MountTable.cpp asks libmount; a program linked -static, for which
// Debian ships no static libmount, gets MountTableStatic.cpp instead.
#ifndef PELK_TOOLS_MOUNT_TABLE_H
#define PELK_TOOLS_MOUNT_TABLE_H

#include <filesystem>
#include <string>
#include <vector>

namespace tool {

struct MountFacts {
    std::string type;   // "vfat", "tmpfs", "fuse.fusefat", ...; empty when no mount was found
    std::string source; // what is mounted (a device, an image), as the table has it
};
MountFacts MountHolding(const std::filesystem::path& folder);

// Every mount the table lists now, with the folder it is mounted on.
struct Mount {
    std::filesystem::path target;
    MountFacts facts;
};
std::vector<Mount> MountsNow();

// The table's changes as the kernel announces them (libmount's monitor;
// without libmount, a poll of /proc/self/mountinfo). Null when the system
// gives no such watch, with *why set.
struct MountMonitor;
MountMonitor* WatchMountTable(std::string* why);
// Waits until the table may have changed (true) or wake, a descriptor,
// turns readable (false); false too when the wait itself fails.
bool AwaitMountChange(MountMonitor* monitor, int wake);
void EndMountMonitor(MountMonitor* monitor);

// fusefat's mount, by its type or, mounted as plain "fuse", by its source.
inline bool IsFusefat(const MountFacts& mount)
{
    return mount.type == "fuse.fusefat" || (mount.type.rfind("fuse", 0) == 0 && mount.source == "fusefat");
}

} // namespace tool

#endif
