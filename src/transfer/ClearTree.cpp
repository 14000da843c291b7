#include "Transfer.h"
#include "TreePath.h"

// True when the folder is gone; a failure stores a code unless the folder is
// the target.
static bool RemoveFolder(const WCHAR* folder)
{
    if (RemoveDirectoryW(folder)) return true;
    if (!IsTargetFolder(folder)) g_jobStatus = STATUS_REMOVE_DIR_FAILED;
    return false;
}

// A folder whose listing failed may still hold files: in the target that is
// a file not deleted, deeper a folder that cannot be removed.
static void StoreListingFailure(const WCHAR* folder)
{
    g_jobStatus = IsTargetFolder(folder) ? STATUS_DELETE_FAILED : STATUS_REMOVE_DIR_FAILED;
}

// One level of the walk; path holds the folder and is the same buffer at
// every level, as is record.
static void ClearFolder(TreePath* path, WIN32_FIND_DATAW* record)
{
    if (g_jobStatus != STATUS_OK) return;
    const size_t folderLength = path->length;
    bool listingFailed = false;
    bool removed = false;

    HANDLE search = INVALID_HANDLE_VALUE;
    if (AppendTreeText(path, kSearchAllSuffix)) {
        search = FindFirstEntry(path->text, record, &listingFailed);
        TruncateTreePath(path, folderLength);
    }
    if (search != INVALID_HANDLE_VALUE) {
        BOOL more;
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
            more = FindNextEntry(search, record, &listingFailed);
        } while (more && g_jobStatus == STATUS_OK);
        FindClose(search);
        if (listingFailed) StoreListingFailure(path->text);
        // Runs on a failed status too: every folder on the way up is tried.
        removed = RemoveFolder(path->text);
    }

    // An empty folder (its search finds nothing) is removed here; one whose
    // removal succeeded above is gone and fails the probe.
    HANDLE probe = FindFirstFileW(path->text, record);
    if (probe == INVALID_HANDLE_VALUE) {
        // Gone, or nobody can tell: a folder not removed may then stay.
        if (!removed && !NothingFound() && (listingFailed || !IsTargetFolder(path->text)))
            StoreListingFailure(path->text);
        return;
    }
    if (listingFailed) StoreListingFailure(path->text);
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
