// The tool's one walk of a device folder: the library's own walk
// (FindFirstEntry, FindNextEntry, one TreePath for every level), entries in
// the order the job meets them, a call before each entry and one after each
// folder's entries, as nftw makes them. Links are never followed: the
// file services report a link as an entry that is not a folder.
#ifndef PELK_TOOLS_WALK_H
#define PELK_TOOLS_WALK_H

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>

#include "ToolPlatform.h"
#include "TreePath.h"

namespace tool {

// An entry as the walk meets it.
struct Step {
    const TreePath* path; // its device path (only its folder's when !named)
    size_t baseLength;    // units of the walked folder's path, with its "\"
    size_t folderLength;  // units of its own folder's path
    const WCHAR* name;
    bool named;    // path holds the entry; else its path is too long to name
    bool folder;
    bool readOnly; // the find record's read-only attribute
    size_t depth;  // 0 for an entry of the walked folder
    std::filesystem::path relative; // below the walked folder, names as stored
    std::string shown;              // relative, names escaped, for messages
};

struct WalkCalls {
    // Before each entry; true walks into a folder.
    std::function<bool(const Step&)> entry;
    // After a folder's entries; the walked folder's own last, with an empty
    // relative path.
    std::function<void(const Step&)> folderDone;
    // A folder that cannot be read, or a walked folder whose path is too long.
    std::function<void(const std::string& shown, const std::string& why)> trouble;
};

void Walk(const DeviceString& folder, const WalkCalls& calls);

// The platform's separator between shown names.
std::string ShownJoin(const std::string& folder, const std::string& name);

} // namespace tool

#endif
