// A stand-in for the module, for the tests of what run does around the job:
// it copies nothing and returns 0, so run must not report the package as
// installed. Its control files lie in the folder PELK_STAND_IN names, else
// in the current one (the device root):
// - "stand-in.copies" holds N: it does what a job interrupted after its
//   first N copies has done: MassStorage emptied, then the package's first N
//   files by name copied into it, each keeping its time as the device's
//   CopyFile does;
// - "stand-in.moment" (Linux), a FIFO: then it writes one byte into it, the
//   moment the test waits for;
// - "stand-in.hold": then it waits until the test lets it go: on Linux a FIFO
//   it reads to its end, on Windows a file naming a pipe the test made, into
//   which it first writes one byte (the moment) and then reads one.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#if defined(_WIN32)
#  include <windows.h>
#else
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

namespace {

fs::path Control(const char* name)
{
    const char* folder = getenv("PELK_STAND_IN");
    return folder && *folder ? fs::u8path(folder) / name : fs::path(name);
}

void CopyTheFirstFiles()
{
    unsigned copies = 0;
    if (!(std::ifstream(Control("stand-in.copies")) >> copies)) return;
    std::error_code error;
    fs::remove_all("MassStorage", error);
    std::set<fs::path> files;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator("SDMMC/PreDLMap", error))
        if (entry.is_regular_file()) files.insert(entry.path().lexically_relative("SDMMC/PreDLMap"));
    for (const fs::path& file : files) {
        if (copies-- == 0) break;
        fs::create_directories(("MassStorage" / file).parent_path(), error);
        // Through streams: fusefat takes no copy_file_range.
        std::ofstream("MassStorage" / file, std::ios::binary) << std::ifstream("SDMMC/PreDLMap" / file, std::ios::binary).rdbuf();
        fs::last_write_time("MassStorage" / file, fs::last_write_time("SDMMC/PreDLMap" / file, error), error);
    }
}

#if defined(_WIN32)
void SayAndHold()
{
    std::string name;
    if (!std::getline(std::ifstream(Control("stand-in.hold")), name)) return;
    HANDLE pipe = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE) return;
    char byte = '!';
    DWORD moved = 0;
    if (WriteFile(pipe, &byte, 1, &moved, nullptr)) ReadFile(pipe, &byte, 1, &moved, nullptr);
    CloseHandle(pipe);
}
#else
void SayAndHold()
{
    std::error_code error;
    if (fs::is_fifo(Control("stand-in.moment"), error)) {
        const int moment = open(Control("stand-in.moment").c_str(), O_WRONLY | O_CLOEXEC);
        if (moment >= 0) {
            (void)!write(moment, "!", 1);
            close(moment);
        }
    }
    if (!fs::is_fifo(Control("stand-in.hold"), error)) return;
    const int hold = open(Control("stand-in.hold").c_str(), O_RDONLY | O_CLOEXEC);
    char byte = 0;
    while (hold >= 0 && read(hold, &byte, 1) > 0) {
    }
    if (hold >= 0) close(hold);
}
#endif

} // namespace

STAND_IN_EXPORT int32_t PELK_UserMapCopy_CopyFiles(void)
{
    CopyTheFirstFiles();
    SayAndHold();
    return 0;
}
