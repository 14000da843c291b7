#include "TreePath.h"

#include "Transfer.h"

static size_t TextLength(const WCHAR* text)
{
    size_t length = 0;
    while (text[length]) ++length;
    return length;
}

bool SetTreePath(TreePath* path, const WCHAR* text)
{
    path->length = 0;
    path->text[0] = 0;
    return AppendTreeText(path, text);
}

bool AppendTreeText(TreePath* path, const WCHAR* suffix)
{
    size_t suffixLength = TextLength(suffix);
    if (suffixLength >= MAX_PATH - path->length) return false;
    for (size_t i = 0; i <= suffixLength; ++i) path->text[path->length + i] = suffix[i];
    path->length += suffixLength;
    return true;
}

bool AppendTreeName(TreePath* path, const WCHAR* name)
{
    size_t nameLength = TextLength(name);
    if (nameLength + 1 >= MAX_PATH - path->length) return false;
    WCHAR* end = path->text + path->length;
    end[0] = TEXT('\\');
    for (size_t i = 0; i <= nameLength; ++i) end[1 + i] = name[i];
    path->length += 1 + nameLength;
    return true;
}

void TruncateTreePath(TreePath* path, size_t length)
{
    path->length = length;
    path->text[length] = 0;
}

bool TreePatternFits(const TreePath* path)
{
    return path->length + (sizeof kSearchAllSuffix / sizeof kSearchAllSuffix[0] - 1) < MAX_PATH;
}

bool AppendTreeEntry(TreePath* path, const WCHAR* name, bool folder)
{
    const size_t length = path->length;
    if (!AppendTreeName(path, name)) return false;
    if (folder && !TreePatternFits(path)) {
        TruncateTreePath(path, length);
        return false;
    }
    return true;
}

bool IsTargetFolder(const WCHAR* path)
{
    const WCHAR* target = kTargetFolder;
    while (*path && *path == *target) {
        ++path;
        ++target;
    }
    return *path == *target;
}

bool IsFolderEntry(const WIN32_FIND_DATAW* record)
{
    return (record->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

static bool IsDotEntry(const WCHAR* name)
{
    return name[0] == TEXT('.') && (name[1] == 0 || (name[1] == TEXT('.') && name[2] == 0));
}

bool NothingFound(void)
{
    const DWORD error = GetLastError();
    return error == ERROR_NO_MORE_FILES || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

BOOL FindNextEntry(HANDLE search, WIN32_FIND_DATAW* record, bool* failed)
{
    while (FindNextFileW(search, record))
        if (!IsDotEntry(record->cFileName)) return TRUE;
    if (failed && GetLastError() != ERROR_NO_MORE_FILES) *failed = true;
    return FALSE;
}

HANDLE FindFirstEntry(const WCHAR* pattern, WIN32_FIND_DATAW* record, bool* failed)
{
    HANDLE search = FindFirstFileW(pattern, record);
    if (search == INVALID_HANDLE_VALUE) {
        if (failed && !NothingFound()) *failed = true;
        return search;
    }
    if (IsDotEntry(record->cFileName) && !FindNextEntry(search, record, failed)) {
        FindClose(search);
        return INVALID_HANDLE_VALUE;
    }
    return search;
}
