/* Links against the installed module and runs a job in the current folder,
 * which holds no card: the job empties MassStorage and returns 4. Prints the
 * file the module was loaded from, so the caller can tell it is the
 * installed one. Exits 0 when everything is as expected. */
#define _GNU_SOURCE
#include <PELK_UserMapCopy.h>

#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

static int failures;

static void Check(int ok, const char* what)
{
    if (!ok) {
        fprintf(stderr, "consumer: FAILED: %s\n", what);
        ++failures;
    }
}

static int FolderIsEmpty(const char* path)
{
    DIR* folder = opendir(path);
    if (!folder) return 0;
    int empty = 1;
    for (struct dirent* entry; (entry = readdir(folder)) != NULL;) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) empty = 0;
    }
    closedir(folder);
    return empty;
}

int main(void)
{
    Dl_info info;
    if (dladdr((void*)&PELK_UserMapCopy_CopyFiles, &info) && info.dli_fname)
        printf("module: %s\n", info.dli_fname);

    static const PELK_WCHAR expected[] = u"\\Windows\\Pelk_MapCopy.exe";
    const PELK_WCHAR* path = GetMapCopyPath();
    Check(path != NULL && memcmp(path, expected, sizeof expected) == 0, "GetMapCopyPath() is \\Windows\\Pelk_MapCopy.exe");
    Check(GetMapCopyPath() == path, "GetMapCopyPath() returns the same string every time");

    /* A stale target with a file and a sub-folder, and no SDMMC folder. */
    mkdir("MassStorage", 0777);
    mkdir("MassStorage/Map", 0777);
    FILE* stale = fopen("MassStorage/Map/old.map", "wb");
    Check(stale != NULL, "the stale file can be made");
    if (stale) fclose(stale);

    const int32_t status = PELK_UserMapCopy_CopyFiles();
    printf("PELK_UserMapCopy_CopyFiles() = %d\n", (int)status);
    Check(status == STATUS_SOURCE_MISSING, "the job ends with 4 STATUS_SOURCE_MISSING");
    Check(FolderIsEmpty("MassStorage"), "MassStorage exists and is empty");

    if (failures == 0) printf("consumer: ok\n");
    return failures == 0 ? 0 : 1;
}
