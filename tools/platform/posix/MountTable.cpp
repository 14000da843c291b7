// The mount table from libmount: the mount that holds a folder (the mount
// point the folder is on, then that point's entry in /proc/self/mountinfo),
// every mount, and the kernel's word that the table changed.
#include "MountTable.h"

#include <libmount/libmount.h>

#include <poll.h>

#include <cstdlib>

namespace fs = std::filesystem;

namespace tool {

MountFacts MountHolding(const fs::path& folder)
{
    MountFacts facts;
    std::error_code error;
    // libmount takes a canonical path: no link, no "..".
    const fs::path path = fs::canonical(fs::absolute(folder, error), error);
    if (error) return facts;
    char* point = mnt_get_mountpoint(path.c_str());
    libmnt_table* table = point ? mnt_new_table_from_file("/proc/self/mountinfo") : nullptr;
    // Of several mounts on one point, the last is the one the path reaches.
    libmnt_fs* mount = table ? mnt_table_find_target(table, point, MNT_ITER_BACKWARD) : nullptr;
    if (mount) {
        const char* type = mnt_fs_get_fstype(mount);
        const char* source = mnt_fs_get_source(mount);
        facts.type = type ? type : "";
        facts.source = source ? source : "";
    }
    if (table) mnt_unref_table(table);
    free(point);
    return facts;
}

std::vector<Mount> MountsNow()
{
    std::vector<Mount> mounts;
    libmnt_table* table = mnt_new_table_from_file("/proc/self/mountinfo");
    libmnt_iter* iterator = table ? mnt_new_iter(MNT_ITER_FORWARD) : nullptr;
    libmnt_fs* mount = nullptr;
    while (iterator && mnt_table_next_fs(table, iterator, &mount) == 0) {
        const char* target = mnt_fs_get_target(mount);
        const char* type = mnt_fs_get_fstype(mount);
        const char* source = mnt_fs_get_source(mount);
        if (!target) continue;
        mounts.push_back({target, {type ? type : "", source ? source : ""}});
    }
    if (iterator) mnt_free_iter(iterator);
    if (table) mnt_unref_table(table);
    return mounts;
}

struct MountMonitor {
    libmnt_monitor* monitor;
};

MountMonitor* WatchMountTable(std::string* why)
{
    libmnt_monitor* monitor = mnt_new_monitor();
    if (!monitor || mnt_monitor_enable_kernel(monitor, 1) < 0 || mnt_monitor_get_fd(monitor) < 0) {
        *why = "libmount cannot watch the mount table";
        if (monitor) mnt_unref_monitor(monitor);
        return nullptr;
    }
    return new MountMonitor{monitor};
}

bool AwaitMountChange(MountMonitor* monitor, int wake)
{
    struct pollfd watched[2] = {{mnt_monitor_get_fd(monitor->monitor), POLLIN, 0}, {wake, POLLIN, 0}};
    if (poll(watched, 2, -1) <= 0 || watched[1].revents) return false;
    // What woke the monitor is taken, or it stays readable.
    const char* file = nullptr;
    int type = 0;
    while (mnt_monitor_next_change(monitor->monitor, &file, &type) == 0) {
    }
    return true;
}

void EndMountMonitor(MountMonitor* monitor)
{
    if (!monitor) return;
    mnt_unref_monitor(monitor->monitor);
    delete monitor;
}

} // namespace tool
