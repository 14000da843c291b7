// A stand-in for the module, for the tests of what run does around the job:
// it copies nothing and returns 0, so run must not report the package as
// installed. While the device root holds "stand-in.hold" it first makes
// "stand-in.entered" and waits (at most a minute) for the hold to go: a run
// held inside its job, for the test of a second run on the same root.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <thread>

#if defined(_WIN32)
#  define STAND_IN_EXPORT extern "C" __attribute__((dllexport))
#else
#  define STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

STAND_IN_EXPORT const wchar_t* GetMapCopyPath(void) { return L"\\Windows\\Pelk_MapCopy.exe"; }

STAND_IN_EXPORT int32_t PELK_UserMapCopy_CopyFiles(void)
{
    std::error_code error;
    if (!std::filesystem::exists("stand-in.hold", error)) return 0;
    if (FILE* entered = fopen("stand-in.entered", "wb")) fclose(entered);
    for (int tick = 0; tick < 6000 && std::filesystem::exists("stand-in.hold", error); ++tick)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
}
