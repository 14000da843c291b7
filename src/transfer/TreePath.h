// One path buffer shared by every level of a tree walk: a level appends
// "\" and a name, works, then truncates back to its own length. The length is
// checked before every append, so the buffer is never overrun and the walk
// costs a few words of stack per level.
#ifndef PELK_TREE_PATH_H
#define PELK_TREE_PATH_H

#include <stddef.h>

#include "Platform.h"

struct TreePath {
    size_t length; // units before the terminator
    WCHAR text[MAX_PATH];
};

// Sets path to text; false (path empty) when text does not fit.
bool SetTreePath(TreePath* path, const WCHAR* text);

// Appends "\" and name; false (path unchanged) when the result would not fit
// in MAX_PATH units, terminator included.
bool AppendTreeName(TreePath* path, const WCHAR* name);

// Appends suffix as it stands; false (path unchanged) when it would not fit.
bool AppendTreeText(TreePath* path, const WCHAR* suffix);

void TruncateTreePath(TreePath* path, size_t length);

// The folder's search pattern, path + "\*.*", fits.
bool TreePatternFits(const TreePath* path);

// Appends "\" and the name of an entry a walk met, when the walk can use the
// result: it fits, and for a folder its search pattern fits too. False (path
// unchanged) otherwise: the entry is too long to name or to search.
bool AppendTreeEntry(TreePath* path, const WCHAR* name, bool folder);

bool IsTargetFolder(const WCHAR* path);
bool IsFolderEntry(const WIN32_FIND_DATAW* record);

// FindFirstFileW and FindNextFileW, passing over "." and ".." where the
// platform delivers them, so the walk sees only real entries. A folder that
// holds nothing else has no first entry: its search is closed and
// INVALID_HANDLE_VALUE returned. A zero from FindNextFileW is the end of the
// listing only with ERROR_NO_MORE_FILES; a search that finds nothing is an
// empty or missing folder only with ERROR_NO_MORE_FILES, ERROR_FILE_NOT_FOUND
// or ERROR_PATH_NOT_FOUND. Any other failure sets *failed (when given): the
// folder may hold entries the walk never saw.
HANDLE FindFirstEntry(const WCHAR* pattern, WIN32_FIND_DATAW* record, bool* failed = 0);
BOOL FindNextEntry(HANDLE search, WIN32_FIND_DATAW* record, bool* failed = 0);

// The last failed search found nothing because there is nothing there: no
// entries, or no such file or folder.
bool NothingFound(void);

static const WCHAR kSearchAllSuffix[] = TEXT("\\*.*");

#endif
