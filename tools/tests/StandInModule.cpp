// A stand-in for the module, for the tests of what run does around the job:
// it copies nothing and returns 0, so run must not report the package as
// installed. While the device root holds "stand-in.hold" it first makes
// "stand-in.entered" and waits (at most a minute) for the hold to go: a run
// held inside its job, for the test of a second run on the same root.
// Where "stand-in.moment" is a FIFO, it first does what a job interrupted
// after its first N copies has done (N is the number in "stand-in.copies"):
// MassStorage emptied, then the package's first N files by name copied into
// it; then it writes one byte into the FIFO, the moment the test waits for.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#if !defined(_WIN32)
#  include <fcntl.h>
#  include <unistd.h>
#endif

#if defined(_WIN32)
#  define STAND_IN_EXPORT extern "C" __attribute__((dllexport))
#else
#  define STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

STAND_IN_EXPORT const wchar_t* GetMapCopyPath(void) { return L"\\Windows\\Pelk_MapCopy.exe"; }

namespace fs = std::filesystem;

#if !defined(_WIN32)
void CopyTheFirstFilesThenSayWhen()
{
    std::error_code error;
    if (!fs::is_fifo("stand-in.moment", error)) return;
    unsigned copies = 0;
    std::ifstream("stand-in.copies") >> copies;
    fs::remove_all("MassStorage", error);
    std::set<fs::path> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator("SDMMC/PreDLMap", error))
        if (entry.is_regular_file()) files.insert(entry.path().lexically_relative("SDMMC/PreDLMap"));
    for (const fs::path& file : files) {
        if (copies-- == 0) break;
        fs::create_directories(("MassStorage" / file).parent_path(), error);
        fs::copy_file("SDMMC/PreDLMap" / file, "MassStorage" / file, error);
    }
    const int moment = open("stand-in.moment", O_WRONLY | O_CLOEXEC);
    if (moment >= 0) {
        (void)!write(moment, "!", 1);
        close(moment);
    }
}
#endif

STAND_IN_EXPORT int32_t PELK_UserMapCopy_CopyFiles(void)
{
    std::error_code error;
#if !defined(_WIN32)
    CopyTheFirstFilesThenSayWhen();
#endif
    if (!std::filesystem::exists("stand-in.hold", error)) return 0;
    if (FILE* entered = fopen("stand-in.entered", "wb")) fclose(entered);
    for (int tick = 0; tick < 6000 && std::filesystem::exists("stand-in.hold", error); ++tick)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return 0;
}
