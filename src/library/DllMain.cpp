#include "JobState.h"

// Accepts every notification and does nothing: the job state is static data,
// zero from load, and nothing needs releasing at unload.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
