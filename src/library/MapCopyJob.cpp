#include "PELK_UserMapCopy.h"

#include "JobState.h"
#include "Transfer.h"

int32_t g_jobStatus = STATUS_OK;
uint16_t g_packageSum = 0;

static const WCHAR kMapCopyPath[] = TEXT("\\Windows\\Pelk_MapCopy.exe");

extern "C" const PELK_WCHAR* PELK_CALL GetMapCopyPath(void)
{
    return kMapCopyPath;
}

extern "C" int32_t PELK_CALL PELK_UserMapCopy_CopyFiles(void)
{
    g_packageSum = 0;
    g_jobStatus = STATUS_OK;
    ClearTree(kTargetFolder);
    CopyTree(kTargetFolder, kPackageFolder);
    VerifyChecksum(kChecksumFileName);
    return g_jobStatus;
}
