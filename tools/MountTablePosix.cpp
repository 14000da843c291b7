// The mount that holds a folder, from libmount: the mount point the folder
// is on, then that point's entry in /proc/self/mountinfo.
#include "MountTable.h"

#include <libmount/libmount.h>

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

} // namespace tool
