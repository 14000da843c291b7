#include "Walk.h"

#include <cerrno>

#include "Names.h"
#include "Transfer.h"

namespace fs = std::filesystem;

namespace tool {

namespace {

const WCHAR kSearchAll[] = TEXT("*.*");

fs::path HostName(const WCHAR* name)
{
    const fs::path host = HostPathOf(name);
    return host.empty() ? fs::path("(unprintable name)") : host;
}

// Below the device root the walk names entries without a leading "\".
bool AppendName(TreePath* path, const WCHAR* name)
{
    return path->length == 0 ? AppendTreeText(path, name) : AppendTreeName(path, name);
}

// One level: the same buffers at every level.
void WalkFolder(TreePath* path, WIN32_FIND_DATAW* record, Step* step, const WalkCalls& calls)
{
    const size_t length = path->length;
    const fs::path relative = step->relative;
    const std::string shown = step->shown;
    const size_t depth = step->depth;
    HANDLE search = INVALID_HANDLE_VALUE;
    errno = 0;
    if (length == 0) {
        search = FindFirstEntry(kSearchAll, record);
    } else if (AppendTreeText(path, kSearchAllSuffix)) {
        search = FindFirstEntry(path->text, record);
        TruncateTreePath(path, length);
    } else {
        calls.trouble(shown, "its search pattern would take over the device's " + std::to_string(MAX_PATH - 1) +
                                 " UTF-16 units, so its entries cannot be listed");
        return;
    }
    if (search == INVALID_HANDLE_VALUE) {
        // An empty folder has no first entry; on Windows its "." and ".." run out.
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES)
            calls.trouble(shown, "cannot read the folder: " + LastErrorText());
        return;
    }
    do {
        const bool named = AppendName(path, record->cFileName);
        step->path = path;
        step->named = named;
        step->folderLength = length;
        step->name = record->cFileName;
        step->folder = IsFolderEntry(record);
        step->readOnly = (record->dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
        step->depth = depth;
        step->relative = relative / HostName(record->cFileName);
        step->shown = ShownJoin(shown, EscapedName(record->cFileName));
        if (calls.entry(*step) && step->folder && named) {
            const Step folder = *step;
            step->depth = depth + 1;
            WalkFolder(path, record, step, calls);
            if (calls.folderDone) calls.folderDone(folder);
        }
        TruncateTreePath(path, length);
        errno = 0;
    } while (FindNextEntry(search, record));
    if (GetLastError() != ERROR_NO_MORE_FILES) calls.trouble(shown, "cannot read the folder: " + LastErrorText());
    FindClose(search);
}

} // namespace

std::string ShownJoin(const std::string& folder, const std::string& name)
{
    if (folder.empty()) return name;
    return folder + static_cast<char>(fs::path::preferred_separator) + name;
}

void Walk(const DeviceString& folder, const WalkCalls& calls)
{
    TreePath path;
    WIN32_FIND_DATAW record;
    Step step = {};
    if (!SetTreePath(&path, folder.c_str())) {
        calls.trouble(std::string(), "its path is too long to walk");
        return;
    }
    step.baseLength = folder.empty() ? 0 : folder.size() + 1;
    WalkFolder(&path, &record, &step, calls);
    if (calls.folderDone) {
        Step root = {};
        root.path = &path;
        root.baseLength = step.baseLength;
        root.named = true;
        root.folder = true;
        calls.folderDone(root);
    }
}

} // namespace tool
