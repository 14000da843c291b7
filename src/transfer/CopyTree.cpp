#include "Transfer.h"
#include "TreePath.h"

bool IsSummedFileName(const WCHAR* name)
{
    return _wcsicmp(kChecksumFileName, name) != 0 && _wcsicmp(kVersionFileName, name) != 0;
}

// One level of the walk; target and source hold the two folders and are the
// same buffers at every level, as is record.
static void CopyFolder(TreePath* target, TreePath* source, WIN32_FIND_DATAW* record)
{
    if (g_jobStatus != STATUS_OK) return;
    if (!CreateDirectoryW(target->text, NULL) && !IsTargetFolder(target->text))
        g_jobStatus = STATUS_CREATE_DIR_FAILED;

    const size_t targetLength = target->length;
    const size_t sourceLength = source->length;
    bool listingFailed = false;
    HANDLE search = INVALID_HANDLE_VALUE;
    if (AppendTreeText(source, kSearchAllSuffix)) {
        search = FindFirstEntry(source->text, record, &listingFailed);
        TruncateTreePath(source, sourceLength);
    }
    if (search == INVALID_HANDLE_VALUE) {
        // Nothing to enumerate: an empty folder, none at all, or one that
        // exists but cannot be listed, whose files would be missed.
        HANDLE probe = FindFirstFileW(source->text, record);
        if (probe == INVALID_HANDLE_VALUE) {
            g_jobStatus = STATUS_SOURCE_MISSING;
            return;
        }
        FindClose(probe);
        if (listingFailed) g_jobStatus = STATUS_COPY_FAILED;
        return;
    }

    // The first entry is always handled, even after a failed CreateDirectoryW
    // above: a failing copy of it then replaces that code.
    BOOL more;
    do {
        const bool folder = IsFolderEntry(record);
        if (!AppendTreeName(target, record->cFileName) || !AppendTreeEntry(source, record->cFileName, folder)) {
            // Too long to name or to search: it cannot be created or copied.
            g_jobStatus = folder ? STATUS_CREATE_DIR_FAILED : STATUS_COPY_FAILED;
        } else if (folder) {
            CopyFolder(target, source, record);
        } else {
            const bool summed = IsSummedFileName(record->cFileName);
            if (!CopyFileW(source->text, target->text, FALSE)) g_jobStatus = STATUS_COPY_FAILED;
            else if (summed) g_packageSum = static_cast<uint16_t>(g_packageSum + SumFileBytes(target->text));
        }
        TruncateTreePath(target, targetLength);
        TruncateTreePath(source, sourceLength);
        more = FindNextEntry(search, record, &listingFailed);
    } while (more && g_jobStatus == STATUS_OK);
    FindClose(search);
    // A listing that failed part-way leaves the rest of the folder uncopied.
    if (listingFailed) g_jobStatus = STATUS_COPY_FAILED;
}

void CopyTree(const WCHAR* destination, const WCHAR* source)
{
    if (g_jobStatus != STATUS_OK) return;
    TreePath targetPath;
    TreePath sourcePath;
    WIN32_FIND_DATAW record;
    if (!SetTreePath(&targetPath, destination)) {
        g_jobStatus = STATUS_CREATE_DIR_FAILED;
        return;
    }
    if (!SetTreePath(&sourcePath, source) || !TreePatternFits(&sourcePath)) {
        g_jobStatus = STATUS_SOURCE_MISSING;
        return;
    }
    CopyFolder(&targetPath, &sourcePath, &record);
}
