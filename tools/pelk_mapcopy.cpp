// pelk-mapcopy: the PC side of the map card. "run" plays the device
// application (loads the module, runs the job, reports its status); "seal"
// and "verify" compute the package sum with the library's own code and write
// or check the package's checksum.ini.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PELK_UserMapCopy.h"
#include "PackageSum.h"

namespace fs = std::filesystem;

namespace {

// Exit codes beyond the job's 0..6, from sysexits.h.
const int kExitUsage = 64;       // also: run refused
const int kExitNoInput = 66;     // a folder named on the command line cannot be opened
const int kExitDataError = 65;   // the package cannot be summed as the device would
const int kExitUnavailable = 69; // the module cannot be loaded
const int kExitIoError = 74;     // checksum.ini cannot be written

const char kUsage[] =
    "Usage:\n"
    "  pelk-mapcopy run [--device-root DIR] [--library FILE] [--force]\n"
    "  pelk-mapcopy seal PACKAGE_DIR\n"
    "  pelk-mapcopy verify PACKAGE_DIR\n"
    "  pelk-mapcopy --help | --version\n"
    "  pelk-mapcopy COMMAND --help\n";

const char kToolHelp[] =
    "pelk-mapcopy - prepare a map card and install it as the device does\n"
    "\n"
    "%s"
    "\n"
    "Commands:\n"
    "  run     run the device's map copy job on a device folder\n"
    "  seal    write the package sum into PACKAGE_DIR/checksum.ini\n"
    "  verify  check PACKAGE_DIR/checksum.ini against the package sum\n"
    "\n"
    "Exit codes: run gives the job's status (0..6); verify 0 on a match, 6 otherwise;\n"
    "64 usage error or run refused, 65 package unreadable, 66 folder missing,\n"
    "69 module not loadable, 74 checksum.ini not writable.\n";

const char kRunHelp[] =
    "Usage: pelk-mapcopy run [--device-root DIR] [--library FILE] [--force]\n"
    "\n"
    "Loads the PELK_UserMapCopy module and runs its job with DIR (default: the\n"
    "current directory) as the device: MassStorage is emptied, SDMMC/PreDLMap is\n"
    "copied into it and its sum is checked against SDMMC/PreDLMap/checksum.ini.\n"
    "Prints the status, what was installed and the time taken; exits with the\n"
    "status (0..6). On a terminal, a progress bar is shown on stderr.\n"
    "\n"
    "  --device-root DIR  the device's root folder\n"
    "  --library FILE     the module to load (default: libPELK_UserMapCopy.so\n"
    "                     beside this tool, else in " PELK_INSTALLED_MODULE_DIR ")\n"
    "  --force            run even when SDMMC/PreDLMap is missing (the job then\n"
    "                     empties MassStorage and ends with 4)\n";

const char kSealHelp[] =
    "Usage: pelk-mapcopy seal PACKAGE_DIR\n"
    "\n"
    "Computes the package sum as the device does (every byte of every file but\n"
    "checksum.ini and PreDLVerno.ini, in any folder, modulo 65536) and writes it\n"
    "to PACKAGE_DIR/checksum.ini as upper-case hexadecimal and CR LF.\n";

const char kVerifyHelp[] =
    "Usage: pelk-mapcopy verify PACKAGE_DIR\n"
    "\n"
    "Reads PACKAGE_DIR/checksum.ini as the device does, computes the package sum\n"
    "and prints both. Exits 0 when they match, 6 when they differ or the file is\n"
    "missing: the device's job would then end with 6 STATUS_CHECKSUM_FAILED.\n";

int UsageError(const std::string& message)
{
    fprintf(stderr, "pelk-mapcopy: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

int Failure(int code, const std::string& message)
{
    fprintf(stderr, "pelk-mapcopy: %s\n", message.c_str());
    return code;
}

bool IsHelp(const std::string& argument) { return argument == "--help" || argument == "-h"; }

// ---- run ---------------------------------------------------------------

struct StatusText {
    const char* name;
    const char* sentence;
};

const StatusText kStatusTexts[] = {
    {"STATUS_OK", "the package was installed and its sum matches checksum.ini"},
    {"STATUS_DELETE_FAILED", "a file in MassStorage could not be deleted"},
    {"STATUS_REMOVE_DIR_FAILED", "a folder below MassStorage could not be removed"},
    {"STATUS_CREATE_DIR_FAILED", "a folder below MassStorage could not be created"},
    {"STATUS_SOURCE_MISSING", "the package folder SDMMC\\PreDLMap is missing"},
    {"STATUS_COPY_FAILED", "a package file could not be copied"},
    {"STATUS_CHECKSUM_FAILED", "checksum.ini is missing or its number differs from the package sum"},
};

struct TreeSize {
    uint64_t files = 0;
    uint64_t bytes = 0;
};

// Regular files below folder, links not followed. Entries may vanish while
// the job runs, so every error just skips the entry.
TreeSize MeasureTree(const fs::path& folder)
{
    TreeSize size;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, error), end;
    for (; !error && it != end; it.increment(error)) {
        std::error_code entryError;
        if (!it->is_regular_file(entryError)) continue;
        const uintmax_t bytes = it->file_size(entryError);
        if (entryError) continue;
        ++size.files;
        size.bytes += bytes;
    }
    return size;
}

std::string ToolFolder()
{
    std::error_code error;
    fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string(".") : self.parent_path().string();
}

// The build tree keeps the module beside the tool; an installed tree keeps it
// in the library folder, PELK_INSTALLED_MODULE_DIR relative to the tool's.
std::string DefaultModulePath()
{
    const fs::path folder = ToolFolder();
    const fs::path beside = folder / "libPELK_UserMapCopy.so";
    std::error_code error;
    if (fs::exists(beside, error)) return beside.string();
    return (folder / PELK_INSTALLED_MODULE_DIR / "libPELK_UserMapCopy.so").lexically_normal().string();
}

std::string Grouped(uint64_t value)
{
    std::string digits = std::to_string(value);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<size_t>(i), ",");
    return digits;
}

std::string MiB(uint64_t bytes)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// Samples the bytes in MassStorage against the package's bytes from a second
// thread while the job runs on this one, and draws a bar on stderr.
class ProgressBar {
public:
    explicit ProgressBar(uint64_t totalBytes) : total_(totalBytes), thread_([this] { Sample(); }) {}
    ~ProgressBar()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
        fprintf(stderr, "\r\033[K");
        fflush(stderr);
    }

private:
    void Sample()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return done_; })) {
            lock.unlock();
            Draw(MeasureTree("MassStorage").bytes);
            lock.lock();
        }
    }
    void Draw(uint64_t bytes) const
    {
        const int width = 40;
        const double part = total_ ? static_cast<double>(bytes) / static_cast<double>(total_) : 1.0;
        const int filled = static_cast<int>((part > 1.0 ? 1.0 : part) * width);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.resize(width, '.');
        fprintf(stderr, "\r[%s] %3d%%  %s / %s", bar.c_str(), static_cast<int>(part * 100.0), MiB(bytes).c_str(),
                MiB(total_).c_str());
        fflush(stderr);
    }

    const uint64_t total_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_; // last: starts once the fields above are set
};

int Run(const std::vector<std::string>& arguments)
{
    std::string deviceRoot = ".";
    std::string library;
    bool force = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (IsHelp(argument)) {
            fputs(kRunHelp, stdout);
            return 0;
        }
        if (argument == "--force") {
            force = true;
        } else if (argument == "--device-root" || argument == "--library") {
            if (i + 1 == arguments.size()) return UsageError(argument + " needs a value");
            (argument == "--library" ? library : deviceRoot) = arguments[++i];
        } else {
            return UsageError("run: unknown argument '" + argument + "'");
        }
    }
    std::error_code ignored;
    // A file, never a search of the loader's path; named before the chdir below.
    if (library.empty()) library = DefaultModulePath();
    else library = fs::absolute(library, ignored).string();

    std::string shownRoot = fs::absolute(deviceRoot, ignored).lexically_normal().string();
    if (shownRoot.size() > 1 && shownRoot.back() == '/') shownRoot.pop_back();
    // The host file layer's device root is the current directory.
    if (chdir(deviceRoot.c_str()) != 0)
        return Failure(kExitNoInput, "cannot enter the device root " + deviceRoot + ": " + strerror(errno));
    // As the job finds it: in any letter case, no link on the way.
    const std::string packageOnDisk = FolderOnDisk(u"SDMMC\\PreDLMap");
    if (packageOnDisk.empty() && !force)
        return Failure(kExitUsage, "the package folder SDMMC/PreDLMap is missing in the device root " + shownRoot +
                                       "\nThe job would empty MassStorage first and then end with "
                                       "4 STATUS_SOURCE_MISSING. Use --force to run it anyway.");

    void* module = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return Failure(kExitUnavailable, std::string("cannot load the module: ") + dlerror());
    using CopyFiles = int32_t (*)(void);
    using MapCopyPath = const PELK_WCHAR* (*)(void);
    auto copyFiles = reinterpret_cast<CopyFiles>(dlsym(module, "PELK_UserMapCopy_CopyFiles"));
    auto mapCopyPath = reinterpret_cast<MapCopyPath>(dlsym(module, "GetMapCopyPath"));
    if (!copyFiles || !mapCopyPath)
        return Failure(kExitUnavailable, library + " does not export PELK_UserMapCopy_CopyFiles and GetMapCopyPath");

    const bool showProgress = isatty(STDERR_FILENO) != 0;
    const uint64_t packageBytes = showProgress && !packageOnDisk.empty() ? MeasureTree(packageOnDisk).bytes : 0;
    const auto start = std::chrono::steady_clock::now();
    int32_t status;
    if (showProgress) {
        ProgressBar bar(packageBytes);
        status = copyFiles();
    } else {
        status = copyFiles();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    const std::string targetOnDisk = FolderOnDisk(u"MassStorage");
    const TreeSize installed = targetOnDisk.empty() ? TreeSize() : MeasureTree(targetOnDisk);
    if (status >= 0 && status < static_cast<int32_t>(sizeof kStatusTexts / sizeof kStatusTexts[0]))
        printf("%d %s: %s\n", status, kStatusTexts[status].name, kStatusTexts[status].sentence);
    else
        printf("%d UNKNOWN: the module returned a status it does not document\n", status);
    printf("installed %s files, %s bytes in MassStorage\n", Grouped(installed.files).c_str(),
           Grouped(installed.bytes).c_str());
    printf("time %.3f s\n", seconds);
    fflush(stdout);
    dlclose(module);
    return status >= 0 && status <= 6 ? status : 70;
}

// ---- seal and verify ---------------------------------------------------

int OpenPackage(const std::vector<std::string>& arguments, const char* help, std::string* folder)
{
    if (!arguments.empty() && IsHelp(arguments[0])) {
        fputs(help, stdout);
        return 0;
    }
    if (arguments.size() != 1) return UsageError("expected one PACKAGE_DIR");
    *folder = arguments[0];
    std::error_code error;
    if (!fs::is_directory(*folder, error) || !OpenPackageFolder(*folder))
        return Failure(kExitNoInput, "cannot open the package folder " + *folder);
    return -1;
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
    return text;
}

int Seal(const std::vector<std::string>& arguments)
{
    std::string folder;
    const int early = OpenPackage(arguments, kSealHelp, &folder);
    if (early >= 0) return early;
    const PackageSum package = SumPackage();
    if (!package.error.empty()) return Failure(kExitDataError, folder + ": " + package.error);
    if (!WritePackageChecksum(package.sum))
        return Failure(kExitIoError, "cannot write " + (fs::path(folder) / "checksum.ini").string());
    printf("package sum %s over %s files, written to %s\n", Hex(package.sum).c_str(),
           Grouped(package.summedFiles).c_str(), (fs::path(folder) / "checksum.ini").string().c_str());
    return 0;
}

int Verify(const std::vector<std::string>& arguments)
{
    std::string folder;
    const int early = OpenPackage(arguments, kVerifyHelp, &folder);
    if (early >= 0) return early;
    uint32_t stored = 0;
    const bool haveFile = ReadPackageChecksum(&stored);
    const PackageSum package = SumPackage();
    if (!package.error.empty()) return Failure(kExitDataError, folder + ": " + package.error);
    if (haveFile)
        printf("checksum.ini %s (low 16 bits %s)\n", Hex(stored).c_str(), Hex(static_cast<uint16_t>(stored)).c_str());
    else
        printf("checksum.ini missing or unreadable\n");
    printf("package sum  %s over %s files\n", Hex(package.sum).c_str(), Grouped(package.summedFiles).c_str());
    if (haveFile && static_cast<uint16_t>(stored) == package.sum) {
        printf("match: the device will accept this package\n");
        return 0;
    }
    printf("MISMATCH: the device's job would end with 6 STATUS_CHECKSUM_FAILED\n");
    return STATUS_CHECKSUM_FAILED;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) return UsageError("no command given");
    const std::string command = argv[1];
    const std::vector<std::string> arguments(argv + 2, argv + argc);
    if (IsHelp(command)) {
        printf(kToolHelp, kUsage);
        return 0;
    }
    if (command == "--version") {
        printf("pelk-mapcopy %s\n", PELK_VERSION);
        return 0;
    }
    if (command == "run") return Run(arguments);
    if (command == "seal") return Seal(arguments);
    if (command == "verify") return Verify(arguments);
    return UsageError("unknown command '" + command + "'");
}
