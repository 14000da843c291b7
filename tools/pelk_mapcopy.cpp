// pelk-mapcopy: the PC side of the map card. "run" plays the device
// application (loads the module, runs the job, reports its status); "seal"
// and "verify" check a package with the library's own code and write or
// compare its checksum.ini. Everything system-specific is in ToolPlatform.
#include <chrono>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "JobStatusText.h"
#include "PELK_UserMapCopy.h"
#include "Package.h"
#include "ToolPlatform.h"
#include "Transfer.h"

namespace fs = std::filesystem;
using namespace tool;

namespace {

// Exit codes beyond the job's 0..6, from sysexits.h.
const int kExitUsage = 64;       // also: a command refused
const int kExitNoInput = 66;     // a folder named on the command line cannot be opened
const int kExitUnavailable = 69; // the module cannot be loaded
const int kExitSoftware = 70;    // the module returned a code it does not document
const int kExitIoError = 74;     // checksum.ini cannot be written

const char kUsage[] =
    "Usage:\n"
    "  pelk-mapcopy run [--device-root DIR] [--library FILE] [--force]\n"
    "  pelk-mapcopy seal [--force] PACKAGE_DIR\n"
    "  pelk-mapcopy verify PACKAGE_DIR\n"
    "  pelk-mapcopy help [COMMAND] | --help [COMMAND] | --version\n";

const char kToolHelp[] =
    "pelk-mapcopy - prepare a map card and install it as the device does\n"
    "\n"
    "%s"
    "\n"
    "Commands:\n"
    "  verify  predict the device's job on PACKAGE_DIR and name what would fail\n"
    "  seal    write the package sum into PACKAGE_DIR/checksum.ini\n"
    "  run     run the device's map copy job on a device folder\n"
    "\n"
    "Exit codes: run gives the job's status (0..6), verify the status the device's\n"
    "job would give; 64 usage error or a command refused, 65 a package no card can\n"
    "hold as it stands, 66 folder cannot be opened, 69 module not loadable,\n"
    "74 checksum.ini not writable.\n";

const char kRunHelp[] =
    "Usage: pelk-mapcopy run [--device-root DIR] [--library FILE] [--force]\n"
    "\n"
    "Loads the PELK_UserMapCopy module and runs its job with DIR (default: the\n"
    "current directory) as the device: MassStorage is emptied, SDMMC/PreDLMap is\n"
    "copied into it and its sum is checked against SDMMC/PreDLMap/checksum.ini.\n"
    "Prints the status, what was copied and summed, and the time taken; after a\n"
    "failure, the first entry where MassStorage and the package differ. Exits\n"
    "with the status (0..6). On a terminal, a progress bar is shown on stderr.\n"
    "\n"
    "Refuses (64) a device without SDMMC/PreDLMap, and a package larger than the\n"
    "free space of the volume holding MassStorage (what MassStorage holds now\n"
    "counts as free): the job would empty MassStorage and then fail, leaving the\n"
    "device with no map.\n"
    "\n"
    "  --device-root DIR  the device's root folder\n"
    "  --library FILE     the module to load (default: " PELK_MODULE_FILE "\n"
    "                     beside this tool" PELK_MODULE_ELSEWHERE ")\n"
    "  --force            run the job even where it is refused\n";

const char kSealHelp[] =
    "Usage: pelk-mapcopy seal [--force] PACKAGE_DIR\n"
    "\n"
    "Computes the package sum as the device does (every byte of every file but\n"
    "checksum.ini and PreDLVerno.ini, in any folder, modulo 65536) and writes it\n"
    "to PACKAGE_DIR/checksum.ini as upper-case hexadecimal and CR LF.\n"
    "\n"
    "Refuses a package with findings (see verify), exit 65, and a device root\n"
    "(a folder holding SDMMC/PreDLMap or MassStorage), exit 64.\n"
    "\n"
    "  --force  seal even so\n";

const char kVerifyHelp[] =
    "Usage: pelk-mapcopy verify PACKAGE_DIR\n"
    "\n"
    "Predicts the device's job on the package and prints one line for each thing\n"
    "that would fail: a path too long for the device (under SDMMC/PreDLMap or\n"
    "MassStorage), two names that differ only in letter case, a name a FAT card\n"
    "cannot hold, an entry that is neither a file nor a folder, then checksum.ini\n"
    "read as the device reads it against the package sum.\n"
    "\n"
    "Exits with the status the device's job would return (0 when it would\n"
    "succeed, 3 or 5 for a path too long, 6 for the checksum), or 65 when no card\n"
    "can hold the package as it stands.\n";

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

std::string Grouped(uint64_t count)
{
    std::string digits = std::to_string(count);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<size_t>(i), ",");
    return digits;
}

std::string Plural(uint64_t count, const char* one, const char* many)
{
    return Grouped(count) + " " + (count == 1 ? one : many);
}

// Every size the tool shows, in one style.
std::string Size(uint64_t bytes)
{
    if (bytes < 1024) return Plural(bytes, "byte", "bytes");
    const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%X", static_cast<unsigned>(value));
    return text;
}

std::string StatusLine(int32_t status)
{
    for (const JobStatusText& text : kJobStatusTexts)
        if (text.code == status) return std::to_string(status) + " " + text.name + ": " + text.sentence;
    return std::to_string(status) + " UNKNOWN: the module returned a status it does not document";
}

// Why fewer files are summed than copied, or nothing.
std::string NotSummed(uint64_t other)
{
    if (!other) return std::string();
    return Plural(other, "file is", "files are") +
           " copied but not summed: the device never sums checksum.ini and PreDLVerno.ini\n";
}

// ---- seal and verify ---------------------------------------------------

// Enters PACKAGE_DIR as the device root; returns an exit code, or -1 to go on.
int OpenPackage(const std::string& typed, bool force)
{
    const fs::path folder = fs::u8path(typed);
    std::string why;
    if (!EnterDeviceRoot(folder, &why))
        return Failure(kExitNoInput, "cannot open the package folder " + typed + ": " + why);
    if (force) return -1;
    // A device root holds the package, it is none.
    const fs::path package = FolderOnDisk(kPackageFolder);
    const fs::path target = FolderOnDisk(kTargetFolder);
    if (package.empty() && target.empty()) return -1;
    const fs::path hint =
        (folder / (package.empty() ? fs::path("SDMMC") / "PreDLMap" : package)).lexically_normal();
    return Failure(kExitUsage, Shown(folder) + " is a device root (it holds " +
                                   Shown(package.empty() ? target : package) + "), not a package folder.\n" +
                                   "The package folder is " + Shown(hint) + ". Use --force to take " +
                                   Shown(folder) + " as a package anyway.");
}

void PrintFindings(FILE* stream, const PackageCheck& check)
{
    for (const Finding& finding : check.findings) fprintf(stream, "%s\n", finding.text.c_str());
}

int Seal(const std::vector<std::string>& arguments)
{
    bool force = false;
    std::vector<std::string> folders;
    for (const std::string& argument : arguments) {
        if (argument == "--force") force = true;
        else if (argument.size() > 1 && argument[0] == '-') return UsageError("seal: unknown option '" + argument + "'");
        else folders.push_back(argument);
    }
    if (folders.size() != 1) return UsageError("seal: expected one PACKAGE_DIR");
    const fs::path folder = fs::u8path(folders[0]);
    const int early = OpenPackage(folders[0], force);
    if (early >= 0) return early;

    const PackageCheck check = CheckPackage(TEXT(""));
    if (!check.findings.empty()) {
        PrintFindings(stderr, check);
        if (!force)
            return Failure(kExitNotForACard, "not sealed: the device would not install " + Shown(folder) +
                                                 " as it stands (" + Plural(check.findings.size(), "finding", "findings") +
                                                 " above). Use --force to seal it anyway.");
    }
    std::string why;
    if (!WritePackageChecksum(check.sum, &why))
        return Failure(kExitIoError, "cannot write " + Shown(folder / "checksum.ini") + ": " + why);
    // The name it has on the card, in whatever case it already had.
    WIN32_FIND_DATAW record;
    fs::path written = "checksum.ini";
    HANDLE probe = FindFirstFileW(kChecksumFileName, &record);
    if (probe != INVALID_HANDLE_VALUE) {
        written = HostPathOf(record.cFileName);
        FindClose(probe);
    }
    printf("package sum %s over %s, written to %s\n%s", Hex(check.sum).c_str(),
           Plural(check.summedFiles, "file", "files").c_str(), Shown(folder / written).c_str(),
           NotSummed(check.otherFiles).c_str());
    return 0;
}

int Verify(const std::vector<std::string>& arguments)
{
    if (arguments.size() != 1 || (arguments[0].size() > 1 && arguments[0][0] == '-'))
        return UsageError("verify: expected one PACKAGE_DIR");
    const int early = OpenPackage(arguments[0], false);
    if (early >= 0) return early;

    uint32_t stored = 0;
    const bool haveFile = ReadPackageChecksum(TEXT(""), &stored);
    const PackageCheck check = CheckPackage(TEXT(""));
    if (haveFile)
        printf("checksum.ini %s (low 16 bits %s)\n", Hex(stored).c_str(), Hex(static_cast<uint16_t>(stored)).c_str());
    else
        printf("checksum.ini missing or unreadable\n");
    printf("package sum  %s over %s\n%s", Hex(check.sum).c_str(), Plural(check.summedFiles, "file", "files").c_str(),
           NotSummed(check.otherFiles).c_str());
    PrintFindings(stdout, check);

    const int verdict = WorstFinding(check);
    if (verdict == kExitNotForACard) {
        printf("NOT FOR A CARD: no card can hold this package as it stands\n");
        return verdict;
    }
    if (verdict != 0) {
        printf("FAIL: the device's job would end with %s\n", StatusName(verdict).c_str());
        return verdict;
    }
    if (haveFile && static_cast<uint16_t>(stored) == check.sum) {
        printf("match: the device will accept this package\n");
        return 0;
    }
    printf("MISMATCH: the device's job would end with %s\n", StatusName(STATUS_CHECKSUM_FAILED).c_str());
    return STATUS_CHECKSUM_FAILED;
}

// ---- run ---------------------------------------------------------------

uint64_t Bytes(const std::vector<TreeEntry>& tree)
{
    uint64_t bytes = 0;
    for (const TreeEntry& entry : tree) bytes += entry.bytes;
    return bytes;
}

// Bytes of the regular files below folder, links not followed. Safe beside
// the job: entries may vanish while it runs, so every error skips the entry.
uint64_t BytesOnDisk(const fs::path& folder)
{
    uint64_t bytes = 0;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, error), end;
    for (; !error && it != end; it.increment(error)) {
        std::error_code entryError;
        if (!it->is_regular_file(entryError)) continue;
        const uintmax_t size = it->file_size(entryError);
        if (!entryError) bytes += size;
    }
    return bytes;
}

// Samples the bytes in MassStorage against the package's bytes from a second
// thread while the job runs on this one, and redraws one line on stderr that
// always fits the terminal's width, so nothing wraps and nothing stays behind.
class ProgressBar {
public:
    ProgressBar(uint64_t totalBytes, fs::path target)
        : total_(totalBytes), target_(std::move(target)), thread_([this] { Sample(); })
    {
    }
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
            Draw(BytesOnDisk(target_));
            lock.lock();
        }
    }
    void Draw(uint64_t bytes) const
    {
        // The last column stays free: a character there makes some terminals wrap.
        const int columns = ErrorTerminalColumns() - 1;
        if (columns < 1) return;
        const double part = total_ ? static_cast<double>(bytes) / static_cast<double>(total_) : 1.0;
        const double shown = part > 1.0 ? 1.0 : part;
        char percent[8];
        snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(shown * 100.0));
        // Fixed widths, so the bar keeps its length as the numbers change.
        char text[64];
        snprintf(text, sizeof text, "%s %9s of %s", percent, Size(bytes).c_str(), Size(total_).c_str());
        const int barWidth = columns - static_cast<int>(strlen(text)) - 3;
        std::string line;
        if (barWidth >= 10) {
            std::string bar(static_cast<size_t>(shown * barWidth), '#');
            bar.resize(static_cast<size_t>(barWidth), '.');
            line = "[" + bar + "] " + text;
        } else {
            line = std::string(text).substr(0, static_cast<size_t>(columns));
        }
        fprintf(stderr, "\r%s\033[K", line.c_str());
        fflush(stderr);
    }

    const uint64_t total_;
    const fs::path target_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_; // last: starts once the fields above are set
};

// The first entry where MassStorage and the package differ, for a failed job:
// a stale entry first when the clearing failed, else the first package entry
// (in the job's order) that is not copied as it stands.
std::string FirstDifference(int32_t status, const std::vector<TreeEntry>& package,
                            const std::vector<TreeEntry>& target)
{
    std::map<DeviceString, const TreeEntry*> inPackage;
    std::map<DeviceString, const TreeEntry*> inTarget;
    for (const TreeEntry& entry : package) inPackage.emplace(entry.key, &entry);
    for (const TreeEntry& entry : target) inTarget.emplace(entry.key, &entry);
    const auto stale = [&]() -> std::string {
        for (const TreeEntry& entry : target)
            if (!inPackage.count(entry.key)) return Shown(entry.host) + " is not in the package";
        return std::string();
    };
    const auto notCopied = [&]() -> std::string {
        for (const TreeEntry& entry : package) {
            const auto found = inTarget.find(entry.key);
            if (found == inTarget.end()) return Shown(entry.host) + " is not in MassStorage";
            const TreeEntry& copy = *found->second;
            if (copy.folder != entry.folder)
                return Shown(entry.host) + " is a " + (entry.folder ? "folder" : "file") + ", " + Shown(copy.host) +
                       " a " + (copy.folder ? "folder" : "file");
            if (!entry.folder && copy.bytes != entry.bytes)
                return Shown(entry.host) + " holds " + Size(entry.bytes) + ", its copy " + Shown(copy.host) + " " +
                       Size(copy.bytes);
        }
        return std::string();
    };
    const bool clearing = status == STATUS_DELETE_FAILED || status == STATUS_REMOVE_DIR_FAILED;
    std::string first = clearing ? stale() : notCopied();
    if (first.empty()) first = clearing ? notCopied() : stale();
    return first.empty() ? "first difference: none, MassStorage holds every package entry at its size" : "first difference: " + first;
}

int Run(const std::vector<std::string>& arguments)
{
    fs::path deviceRoot = ".";
    fs::path library;
    bool force = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--force") {
            force = true;
        } else if (argument == "--device-root" || argument == "--library") {
            if (i + 1 == arguments.size()) return UsageError("run: " + argument + " needs a value");
            (argument == "--library" ? library : deviceRoot) = fs::u8path(arguments[++i]);
        } else {
            return UsageError("run: unknown argument '" + argument + "'");
        }
    }
    std::error_code ignored;
    // Named before the device root is entered: a relative name is a file here.
    library = library.empty() ? DefaultModule() : fs::absolute(library, ignored);
    const fs::path shownRoot = fs::absolute(deviceRoot, ignored).lexically_normal();

    std::string why;
    if (!EnterDeviceRoot(deviceRoot, &why))
        return Failure(kExitNoInput, "cannot enter the device root " + Shown(deviceRoot) + ": " + why);
    // As the job finds them: in any letter case, no link on the way.
    const fs::path packageOnDisk = FolderOnDisk(kPackageFolder);
    if (packageOnDisk.empty() && !force)
        return Failure(kExitUsage, "the package folder " + Shown(fs::path("SDMMC") / "PreDLMap") +
                                       " is missing in the device root " + Shown(shownRoot) +
                                       "\nThe job would empty MassStorage first and then end with " +
                                       StatusName(STATUS_SOURCE_MISSING) + ". Use --force to run it anyway.");
    const std::vector<TreeEntry> package = ListTree(kPackageFolder);
    const uint64_t packageBytes = Bytes(package);
    fs::path targetOnDisk = FolderOnDisk(kTargetFolder);
    uint64_t free = 0;
    const fs::path volume = targetOnDisk.empty() ? fs::path(".") : targetOnDisk;
    if (!force && FreeSpace(volume, &free, &why)) {
        // The job empties MassStorage before it copies.
        const uint64_t room = free + (targetOnDisk.empty() ? 0 : Bytes(ListTree(kTargetFolder)));
        if (packageBytes > room)
            return Failure(kExitUsage, "the package (" + Size(packageBytes) + ") does not fit on the volume holding " +
                                           "MassStorage (" + Size(room) + " free, counting what MassStorage holds "
                                           "now)\nThe job would empty MassStorage and then end with " +
                                           StatusName(STATUS_COPY_FAILED) +
                                           ", leaving the device with no map. Use --force to run it anyway.");
    }

    Module* module = LoadModule(library, &why);
    if (!module) return Failure(kExitUnavailable, "cannot load the module " + Shown(library) + ": " + why);
    using CopyFiles = int32_t (*)(void);
    using MapCopyPath = const PELK_WCHAR* (*)(void);
    auto copyFiles = reinterpret_cast<CopyFiles>(FindExport(module, "PELK_UserMapCopy_CopyFiles"));
    auto mapCopyPath = reinterpret_cast<MapCopyPath>(FindExport(module, "GetMapCopyPath"));
    if (!copyFiles || !mapCopyPath) {
        UnloadModule(module);
        return Failure(kExitUnavailable,
                       Shown(library) + " does not export PELK_UserMapCopy_CopyFiles and GetMapCopyPath");
    }

    const bool showProgress = ErrorTerminalColumns() > 0;
    const auto start = std::chrono::steady_clock::now();
    int32_t status;
    if (showProgress) {
        ProgressBar bar(packageBytes, targetOnDisk.empty() ? fs::path("MassStorage") : targetOnDisk);
        status = copyFiles();
    } else {
        status = copyFiles();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    UnloadModule(module);

    const std::vector<TreeEntry> installed = ListTree(kTargetFolder);
    uint64_t summed = 0;
    uint64_t other = 0;
    for (const TreeEntry& entry : installed) {
        if (entry.folder) continue;
        const size_t slash = entry.key.rfind(TEXT('\\'));
        const DeviceString name = entry.key.substr(slash == DeviceString::npos ? 0 : slash + 1);
        ++(IsSummedFileName(name.c_str()) ? summed : other);
    }
    printf("%s\n", StatusLine(status).c_str());
    if (summed + other == 0)
        printf("MassStorage is empty\n");
    else
        printf("MassStorage holds %s (%s), %s of them summed\n%s", Plural(summed + other, "file", "files").c_str(),
               Size(Bytes(installed)).c_str(), Grouped(summed).c_str(), NotSummed(other).c_str());
    if (status > STATUS_OK && status <= STATUS_CHECKSUM_FAILED) {
        if (status == STATUS_SOURCE_MISSING && packageOnDisk.empty())
            printf("first difference: the package folder %s is missing\n",
                   Shown(fs::path("SDMMC") / "PreDLMap").c_str());
        else
            printf("%s\n", FirstDifference(status, ListTree(kPackageFolder), installed).c_str());
    }
    printf("time %.3f s\n", seconds);
    fflush(stdout);
    return status >= STATUS_OK && status <= STATUS_CHECKSUM_FAILED ? status : kExitSoftware;
}

// ---- help --------------------------------------------------------------

int Help(const std::vector<std::string>& arguments)
{
    if (arguments.empty()) {
        printf(kToolHelp, kUsage);
        return 0;
    }
    if (arguments.size() > 1) return UsageError("help: expected at most one COMMAND");
    const std::string& command = arguments[0];
    if (command == "run") fputs(kRunHelp, stdout);
    else if (command == "seal") fputs(kSealHelp, stdout);
    else if (command == "verify") fputs(kVerifyHelp, stdout);
    else if (command == "help") printf(kToolHelp, kUsage);
    else return UsageError("help: unknown command '" + command + "'");
    return 0;
}

} // namespace

int tool::Main(const std::vector<std::string>& all)
{
    if (all.empty()) return UsageError("no command given");
    const std::string& command = all[0];
    const std::vector<std::string> arguments(all.begin() + 1, all.end());
    if (command == "help" || IsHelp(command)) return Help(arguments);
    if (command == "--version") {
        printf("pelk-mapcopy %s\n", PELK_VERSION);
        return 0;
    }
    if (command != "run" && command != "seal" && command != "verify")
        return UsageError("unknown command '" + command + "'");
    for (const std::string& argument : arguments)
        if (IsHelp(argument)) return Help({command});
    if (command == "run") return Run(arguments);
    if (command == "seal") return Seal(arguments);
    return Verify(arguments);
}
