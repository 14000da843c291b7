#include "Transfer.h"
#include "TreePath.h"

static void RemoveFolder(const WCHAR* folder)
{
    if (!RemoveDirectoryW(folder) && !IsTargetFolder(folder)) g_jobStatus = STATUS_REMOVE_DIR_FAILED;
}

// One level of the walk; path holds the folder and is the same buffer at
// every level, as is record.
static void ClearFolder(TreePath* path, WIN32_FIND_DATAW* record)
{
    if (g_jobStatus != STATUS_OK) return;
    const size_t folderLength = path->length;

    HANDLE search = INVALID_HANDLE_VALUE;
    if (AppendTreeText(path, kSearchAllSuffix)) {
        search = FindFirstEntry(path->text, record);
        TruncateTreePath(path, folderLength);
    }
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const bool folder = IsFolderEntry(record);
            if (!AppendTreeEntry(path, record->cFileName, folder)) {
                // Too long to name or to search: it cannot be emptied or deleted.
                g_jobStatus = folder ? STATUS_REMOVE_DIR_FAILED : STATUS_DELETE_FAILED;
            } else if (folder) {
                ClearFolder(path, record);
            } else if (!DeleteFileW(path->text)) {
                g_jobStatus = STATUS_DELETE_FAILED;
            }
            TruncateTreePath(path, folderLength);
        } while (FindNextEntry(search, record) && g_jobStatus == STATUS_OK);
        FindClose(search);
        // Runs on a failed status too: every folder on the way up is tried.
        RemoveFolder(path->text);
    }

    // An empty folder (its search finds nothing) is removed here; one whose
    // removal succeeded above is gone and fails the probe.
    HANDLE probe = FindFirstFileW(path->text, record);
    if (probe == INVALID_HANDLE_VALUE) return;
    RemoveFolder(path->text);
    FindClose(probe);
}

void ClearTree(const WCHAR* folder)
{
    if (g_jobStatus != STATUS_OK) return;
    TreePath path;
    WIN32_FIND_DATAW record;
    if (!SetTreePath(&path, folder) || !TreePatternFits(&path)) {
        g_jobStatus = STATUS_REMOVE_DIR_FAILED;
        return;
    }
    ClearFolder(&path, &record);
}
