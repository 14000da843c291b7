// What the job has done so far, told from what MassStorage holds: by names
// and sizes against the package and the stale tree it found, never by file
// times (a copy on FAT keeps its source's times).
#ifndef PELK_TOOLS_PROGRESS_H
#define PELK_TOOLS_PROGRESS_H

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "Package.h"

namespace tool {

struct JobProgress {
    bool copying = false;      // else still clearing MassStorage
    uint64_t oldFilesLeft = 0; // while clearing
    uint64_t files = 0;        // package files in MassStorage at their full size
    uint64_t bytes = 0;        // of package files in MassStorage, up to their sizes
};

// The job first deletes everything in MassStorage (the stale tree), folders
// and MassStorage itself included, and only then copies. So the copy has
// begun once MassStorage is gone, removed (removed: the folder the job
// found, held by the tool, has been removed) or holds nothing, once it holds a name the
// stale tree did not have, or once a stale entry known to be gone is there
// again; until then every entry is stale, even one named and sized as a
// package file. A listing made while entries are deleted may miss some that
// are still there, so an entry is known to be gone only when a look at it
// alone (stillThere) says so.
class ProgressModel {
public:
    ProgressModel(const std::vector<TreeEntry>& package, const std::vector<TreeEntry>& stale);

    // One look at MassStorage: its entries now, or gone when it is not there.
    JobProgress Update(const std::vector<TreeEntry>& now, bool gone, bool removed,
                       const std::function<bool(const TreeEntry&)>& stillThere);

private:
    std::map<DeviceString, uint64_t> packageFiles_; // folded path -> bytes
    std::map<DeviceString, bool> stale_;            // folded path -> a file
    std::set<DeviceString> goneForGood_;            // stale entries known to be deleted
    std::vector<TreeEntry> staleEntries_;
    JobProgress progress_;
};

} // namespace tool

#endif
