/* A device application in C: calls the DLL through its import library and
 * the header's WINAPI declarations. Run in an empty folder, the job finds no
 * package. */
#include <stdio.h>
#include <wchar.h>

#include "PELK_UserMapCopy.h"

int main(void)
{
    const PELK_WCHAR* path = GetMapCopyPath();
    int32_t status = PELK_UserMapCopy_CopyFiles();
    if (path == NULL || wcscmp(path, L"\\Windows\\Pelk_MapCopy.exe") != 0 || GetMapCopyPath() != path) {
        printf("GetMapCopyPath returned an unexpected string\n");
        return 1;
    }
    if (status != STATUS_SOURCE_MISSING) {
        printf("the job on an empty device returned %d, not %d\n", (int)status, (int)STATUS_SOURCE_MISSING);
        return 1;
    }
    return 0;
}
