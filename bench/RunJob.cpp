// The job alone, as the device application runs it: the module's export
// called once with the current directory as the device root. bench.sh times
// it beside `pelk-mapcopy run`, whose listings before and after the job (for
// the bar and the summary) are the tool's, not the library's.
#include <cstdio>

#include "PELK_UserMapCopy.h"

int main()
{
    const int32_t status = PELK_UserMapCopy_CopyFiles();
    std::printf("%d\n", static_cast<int>(status));
    return status;
}
