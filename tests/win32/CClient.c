#include <stdio.h>

#include "PELK_UserMapCopy.h"

int main(void)
{
    return GetMapCopyPath() != 0 && PELK_UserMapCopy_CopyFiles() >= 0 ? 0 : 1;
}
