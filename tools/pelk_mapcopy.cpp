// pelk-mapcopy: the PC side of the map card. "run" plays the device
// application (loads the module, runs the job, reports its status); "seal"
// and "verify" check a package with the library's own code and write or
// compare its checksum.ini. Everything system-specific is in ToolPlatform.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
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

#include "CommandLine.h"
#include "JobStatusText.h"
#include "PELK_UserMapCopy.h"
#include "Package.h"
#include "ToolPlatform.h"
#include "Transfer.h"
#include "TreePath.h"

namespace fs = std::filesystem;
using namespace tool;

namespace {

// Exit codes beyond the job's 0..6, from sysexits.h.
const int kExitUsage = 64;       // also: a command refused
const int kExitNoInput = 66;     // a folder named on the command line cannot be opened
const int kExitUnavailable = 69; // the module cannot be loaded
const int kExitSoftware = 70;    // the module returned a code it does not document
const int kExitIoError = 74;     // checksum.ini cannot be written
const int kExitInUse = 75;       // another pelk-mapcopy holds the device root

const char kUsage[] =
    "Usage:\n"
    "  pelk-mapcopy run [--device-root DIR] [--library FILE] [--force]\n"
    "  pelk-mapcopy seal [--force] [--] PACKAGE_DIR\n"
    "  pelk-mapcopy verify [--force] [--] PACKAGE_DIR\n"
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
    "Options take their value as --opt=value or --opt value; -- ends the options.\n"
    "\n"
    "Exit codes: run gives the job's status (0..6), verify the status the device's\n"
    "job would give; 64 usage error or a command refused, 65 a package no card can\n"
    "hold as it stands, 66 folder cannot be opened, 69 module not loadable,\n"
    "70 the module returned a code it does not document, or 0 with MassStorage not\n"
    "holding the package, 74 checksum.ini not writable, 75 another pelk-mapcopy is\n"
    "using the device root, 130 (143) run interrupted by SIGINT (SIGTERM).\n";

const char kRunHelp[] =
    "Usage: pelk-mapcopy run [--device-root DIR] [--library FILE] [--force]\n"
    "\n"
    "Loads the PELK_UserMapCopy module and runs its job with DIR (default: the\n"
    "current directory) as the device: MassStorage is emptied, SDMMC/PreDLMap is\n"
    "copied into it and its sum is checked against SDMMC/PreDLMap/checksum.ini.\n"
    "Prints the status, what was copied and summed, and the time taken; after a\n"
    "failure, its cause where it can be known, the entry where the job stopped\n"
    "and the package's findings. Exits with the status (0..6). On a terminal, a\n"
    "progress bar on stderr counts the bytes this job copied.\n"
    "\n"
    "One run at a time per device root: run locks DIR before it reads anything\n"
    "(writing nothing there) and holds the lock until it ends; a second run on\n"
    "the same DIR is refused at once, exit 75. After the job returns 0, run\n"
    "checks that MassStorage holds every package file at its size; where it does\n"
    "not, the package is not reported as installed (exit 70).\n"
    "\n"
    "The job empties MassStorage before it copies, so run first checks the\n"
    "package as verify does and refuses (64, MassStorage untouched) a package\n"
    "with any finding or for which the job would not return 0, a device without\n"
    "SDMMC/PreDLMap, a MassStorage that is a file, and a package larger than the\n"
    "free space of the volume holding MassStorage, counted in whole clusters as\n"
    "FAT allocates them (what MassStorage holds now counts as free; a volume\n"
    "that reports no size is not checked).\n"
    "\n"
    "Ctrl-C (SIGINT) or SIGTERM stops the job; the last line says what\n"
    "MassStorage holds then. The device would have no usable map: run again.\n"
    "\n"
    "  --device-root DIR  the device's root folder\n"
    "  --library FILE     the module to load (default: " PELK_MODULE_FILE "\n"
    "                     beside this tool" PELK_MODULE_ELSEWHERE ")\n"
    "  --force            run the job even where it is refused\n";

const char kSealHelp[] =
    "Usage: pelk-mapcopy seal [--force] [--] PACKAGE_DIR\n"
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
    "Usage: pelk-mapcopy verify [--force] [--] PACKAGE_DIR\n"
    "\n"
    "Predicts the device's job on the package and prints one line for each thing\n"
    "that would fail: a path too long for the device (under SDMMC/PreDLMap or\n"
    "MassStorage), two names that differ only in letter case, a name a FAT card\n"
    "cannot hold, an entry that is neither a file nor a folder (a symbolic link:\n"
    "the job never follows links), a read-only file (the next install cannot\n"
    "delete its copy), then checksum.ini read as the device reads it against the\n"
    "package sum. FAT's limits, from Microsoft's FAT specification: a file\n"
    "holds at most 4 GiB - 1 byte; a folder at most 65,536 directory entries, a\n"
    "name taking one for each 13 UTF-16 units plus one; a FAT16 volume's root,\n"
    "where MassStorage is on the device, 512; two names where one is the 8.3\n"
    "short name FAT gives the other (LONGFI~1.TXT for LongFileName.txt) are one\n"
    "file to the device.\n"
    "\n"
    "Exits with the status the device's job would return (0 when it would\n"
    "succeed, 3 or 5 for a path too long, 6 for the checksum), or 65 when no card\n"
    "can hold the package as it stands.\n"
    "\n"
    "  --force  take a device root as the package folder\n";

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

// Sums and checksum numbers: at least four digits, as the 16 bits compared.
std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

std::string StatusLine(int32_t status)
{
    for (const JobStatusText& text : kJobStatusTexts)
        if (text.code == status) return std::to_string(status) + " " + text.name + ": " + text.sentence;
    return std::to_string(status) + " UNKNOWN: the module returned a status it does not document";
}

// Why fewer files are summed than copied, or nothing; names each excluded
// file beyond the package root's checksum.ini and PreDLVerno.ini.
std::string NotSummed(uint64_t other, const std::vector<std::string>& belowTheRoot = {})
{
    if (!other) return std::string();
    std::string lines = Plural(other, "file is", "files are") +
                        " copied but not summed: the device never sums checksum.ini and PreDLVerno.ini\n";
    for (const std::string& extra : belowTheRoot)
        lines += extra + ": not summed, as the device sums no file of that name in any folder\n";
    return lines;
}

// ---- the pre-flight, shared by verify, seal and run --------------------

// checksum.ini as the device meets it.
enum class ChecksumKind { Number, Missing, Folder, Unreadable, Empty, Text, Utf8Mark, Utf16 };

struct ChecksumReading {
    ChecksumKind kind = ChecksumKind::Missing;
    uint32_t value = 0;  // as the device reads it: 0 without a number
    std::string detail; // the reason it cannot be read, or the text it begins with
};

bool IsScanSpace(unsigned char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// What "%x" meets first, past white space and a sign: a digit or not.
bool BeginsWithANumber(const std::string& bytes)
{
    size_t i = 0;
    while (i < bytes.size() && IsScanSpace(static_cast<unsigned char>(bytes[i]))) ++i;
    if (i < bytes.size() && (bytes[i] == '+' || bytes[i] == '-')) ++i;
    return i < bytes.size() && isxdigit(static_cast<unsigned char>(bytes[i]));
}

// Why a file holding no number the device can read holds none.
ChecksumKind WhyNoNumber(const std::string& bytes)
{
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) return ChecksumKind::Utf8Mark;
    if (bytes.compare(0, 2, "\xFF\xFE") == 0 || bytes.compare(0, 2, "\xFE\xFF") == 0 ||
        (bytes.size() >= 2 && (bytes[0] == 0 || bytes[1] == 0)))
        return ChecksumKind::Utf16;
    for (char c : bytes)
        if (!IsScanSpace(static_cast<unsigned char>(c))) return ChecksumKind::Text;
    return ChecksumKind::Empty;
}

ChecksumReading ReadChecksum(const DeviceString& folder)
{
    ChecksumReading reading;
    const DeviceString path = folder.empty() ? DeviceString(kChecksumFileName)
                                             : folder + TEXT('\\') + kChecksumFileName;
    WIN32_FIND_DATAW record;
    HANDLE probe = FindFirstFileW(path.c_str(), &record);
    if (probe == INVALID_HANDLE_VALUE) return reading;
    FindClose(probe);
    reading.kind = ChecksumKind::Folder;
    if (IsFolderEntry(&record)) return reading;
    errno = 0;
    FILE* file = _wfopen(path.c_str(), TEXT("rb"));
    if (!file || !ReadPackageChecksum(folder, &reading.value)) {
        reading.kind = ChecksumKind::Unreadable;
        reading.detail = LastErrorText();
        if (file) fclose(file);
        return reading;
    }
    char head[64];
    const std::string bytes(head, fread(head, 1, sizeof head, file));
    fclose(file);
    reading.kind = BeginsWithANumber(bytes) ? ChecksumKind::Number : WhyNoNumber(bytes);
    if (reading.kind == ChecksumKind::Text) {
        const size_t line = bytes.find_first_of("\r\n");
        reading.detail = bytes.substr(0, line == std::string::npos ? 16 : std::min<size_t>(line, 16));
    }
    return reading;
}

// The line verify prints for checksum.ini; sealWith is the folder to seal.
std::string ChecksumLine(const ChecksumReading& reading, const std::string& sealWith)
{
    const std::string noNumber = "checksum.ini holds no number the device can read: ";
    const std::string readsZero = "; the device reads 0 (pelk-mapcopy seal " + sealWith + " writes the sum)";
    switch (reading.kind) {
    case ChecksumKind::Number:
        return "checksum.ini " + Hex(reading.value) + " (low 16 bits " + Hex(static_cast<uint16_t>(reading.value)) + ")";
    case ChecksumKind::Missing:
        return "checksum.ini missing: the device's job would end with " + StatusName(STATUS_CHECKSUM_FAILED) +
               "; run pelk-mapcopy seal " + sealWith + " to write it";
    case ChecksumKind::Folder:
        return "checksum.ini is a folder, not a file: the device cannot open it";
    case ChecksumKind::Unreadable:
        return "checksum.ini cannot be read (" + reading.detail + ")";
    case ChecksumKind::Empty:
        return noNumber + "it is empty" + readsZero;
    case ChecksumKind::Utf8Mark:
        return noNumber + "it begins with a UTF-8 byte-order mark, as Notepad writes it" + readsZero;
    case ChecksumKind::Utf16:
        return noNumber + "it is UTF-16 text, where the device reads 8-bit text" + readsZero;
    case ChecksumKind::Text:
        return noNumber + "it begins with \"" + reading.detail + "\", not a hexadecimal number" + readsZero;
    }
    return std::string();
}

bool OpensAsTheDeviceDoes(const ChecksumReading& reading)
{
    return reading.kind != ChecksumKind::Missing && reading.kind != ChecksumKind::Folder &&
           reading.kind != ChecksumKind::Unreadable;
}

// The package as the device's job would meet it.
struct Preflight {
    PackageCheck check;
    ChecksumReading checksum;
    int verdict = 0; // kExitNotForACard, else the status the job would return

    bool Clean() const { return verdict == 0 && check.findings.empty(); }
};

Preflight PredictJob(const DeviceString& folder)
{
    Preflight preflight;
    preflight.checksum = ReadChecksum(folder);
    preflight.check = CheckPackage(folder);
    preflight.verdict = WorstFinding(preflight.check);
    if (preflight.verdict == 0 && (!OpensAsTheDeviceDoes(preflight.checksum) ||
                                   static_cast<uint16_t>(preflight.checksum.value) != preflight.check.sum))
        preflight.verdict = STATUS_CHECKSUM_FAILED;
    return preflight;
}

void PrintFindings(FILE* stream, const PackageCheck& check)
{
    for (const Finding& finding : check.findings) fprintf(stream, "%s\n", finding.text.c_str());
}

// What verify prints before its verdict, and run before a refusal.
void PrintPreflight(FILE* stream, const Preflight& preflight, const std::string& sealWith)
{
    const PackageCheck& check = preflight.check;
    fprintf(stream, "%s\n", ChecksumLine(preflight.checksum, sealWith).c_str());
    fprintf(stream, "package sum  %s over %s\n%s", Hex(check.sum).c_str(),
            Plural(check.summedFiles, "file", "files").c_str(),
            NotSummed(check.otherFiles, check.otherBelowTheRoot).c_str());
    PrintFindings(stream, check);
}

// The verdict in words, after the pre-flight's lines.
std::string VerdictLine(int verdict)
{
    if (verdict == kExitNotForACard) return "NOT FOR A CARD: this package cannot go on a card as it stands";
    if (verdict == STATUS_CHECKSUM_FAILED)
        return "MISMATCH: the device's job would end with " + StatusName(STATUS_CHECKSUM_FAILED);
    if (verdict != 0) return "FAIL: the device's job would end with " + StatusName(verdict);
    return "match: the device will accept this package";
}

// ---- seal and verify ---------------------------------------------------

const std::vector<OptionSpec> kSealOptions = {{"--force", false}};
const std::vector<OptionSpec> kVerifyOptions = {{"--force", false}};
const std::vector<OptionSpec> kRunOptions = {{"--device-root", true}, {"--library", true}, {"--force", false}};

// Parses a command's arguments; returns an exit code, or -1 to go on.
int Parse(const char* command, const std::vector<std::string>& arguments, const std::vector<OptionSpec>& table,
          size_t operands, ParsedArguments* parsed)
{
    std::string error;
    if (!ParseArguments(arguments, table, parsed, &error)) return UsageError(std::string(command) + ": " + error);
    if (parsed->operands.size() != operands)
        return UsageError(std::string(command) + (operands ? ": expected one PACKAGE_DIR, got "
                                                           : ": expected no operand, got ") +
                          std::to_string(parsed->operands.size()));
    return -1;
}

std::string UpperAscii(std::string text)
{
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

// The entry of folder named name in any letter case, as a link: its path, or empty.
fs::path LinkNamed(const fs::path& folder, const char* name)
{
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        uint64_t ignored = 0;
        if (UpperAscii(it->path().filename().u8string()) == name && KindOnDisk(it->path(), &ignored) == EntryKind::Link)
            return it->path().lexically_relative(".");
    }
    return fs::path();
}

// The folder as typed, or its SDMMC parent, when it is a symbolic link: the
// job never follows one, so on the device it finds no package there.
std::string LinkOnTheWay(const fs::path& typed)
{
    fs::path folder = typed;
    while (!folder.has_filename() && folder.has_relative_path()) folder = folder.parent_path();
    uint64_t ignored = 0;
    if (KindOnDisk(folder, &ignored) == EntryKind::Link) return Shown(folder);
    const fs::path parent = folder.parent_path();
    if (!parent.empty() && UpperAscii(parent.filename().u8string()) == "SDMMC" &&
        KindOnDisk(parent, &ignored) == EntryKind::Link)
        return Shown(parent);
    return std::string();
}

// Enters PACKAGE_DIR as the device root; returns an exit code, or -1 to go on.
int OpenPackage(const char* command, const std::string& typed, bool force)
{
    const fs::path folder = fs::u8path(typed);
    const std::string link = LinkOnTheWay(folder);
    if (!link.empty() && !force)
        return Failure(STATUS_SOURCE_MISSING,
                       link + " is a symbolic link: the device's job never follows links, so on the device it finds "
                              "no package there, empties MassStorage and ends with " +
                           StatusName(STATUS_SOURCE_MISSING) + ". Copy the package itself to the card.");
    std::string why;
    if (!EnterDeviceRoot(folder, &why))
        return Failure(kExitNoInput, "cannot open the package folder " + typed + ": " + why);
    if (force) return -1;
    // A device root holds the package, it is none.
    const fs::path package = FolderOnDisk(kPackageFolder);
    const fs::path target = FolderOnDisk(kTargetFolder);
    if (package.empty() && target.empty()) {
        if (!IsFileSystemRoot(".")) return -1;
        // Never a walk of a whole volume, or of the whole machine.
        return Failure(kExitUsage, Shown(folder) + " is the root of a file system, not a package folder: a package "
                                                   "is the PreDLMap folder in a card's SDMMC folder (" +
                                       Shown(folder / "SDMMC" / "PreDLMap") + ").");
    }
    const fs::path hint =
        (folder / (package.empty() ? fs::path("SDMMC") / "PreDLMap" : package)).lexically_normal();
    return Failure(kExitUsage, Shown(folder) + " is a device root (it holds " +
                                   Shown(package.empty() ? target : package) + "), not a package folder.\n" +
                                   "The package folder is " + Shown(hint) + ". Use pelk-mapcopy " + command +
                                   " --force " + Shown(folder) + " to take it as a package anyway.");
}

// The name checksum.ini has in the package, in whatever case it already had.
fs::path ChecksumOnDisk()
{
    WIN32_FIND_DATAW record;
    HANDLE probe = FindFirstFileW(kChecksumFileName, &record);
    if (probe == INVALID_HANDLE_VALUE) return fs::path();
    FindClose(probe);
    return HostPathOf(record.cFileName);
}

int Seal(const std::vector<std::string>& arguments)
{
    ParsedArguments parsed;
    const int early = Parse("seal", arguments, kSealOptions, 1, &parsed);
    if (early >= 0) return early;
    const bool force = parsed.Has("--force");
    const fs::path folder = fs::u8path(parsed.operands[0]);
    const int closed = OpenPackage("seal", parsed.operands[0], force);
    if (closed >= 0) return closed;

    PackageCheck check = CheckPackage(TEXT(""));
    if (!check.findings.empty()) {
        PrintFindings(stderr, check);
        if (!force)
            return Failure(kExitNotForACard, "not sealed: the device would not install " + Shown(folder) +
                                                 " as it stands (" + Plural(check.findings.size(), "finding", "findings") +
                                                 " above). Use --force to seal it anyway.");
    }
    const bool hadChecksum = !ChecksumOnDisk().empty();
    std::string why;
    if (!WritePackageChecksum(check.sum, &why))
        return Failure(kExitIoError, "cannot write " + Shown(folder / "checksum.ini") + ": " + why);
    // Counted as verify counts it from now on: the new file is copied, not summed.
    if (!hadChecksum) ++check.otherFiles;
    printf("package sum %s over %s, written to %s\n%s", Hex(check.sum).c_str(),
           Plural(check.summedFiles, "file", "files").c_str(), Shown(folder / ChecksumOnDisk()).c_str(),
           NotSummed(check.otherFiles, check.otherBelowTheRoot).c_str());
    return 0;
}

int Verify(const std::vector<std::string>& arguments)
{
    ParsedArguments parsed;
    const int early = Parse("verify", arguments, kVerifyOptions, 1, &parsed);
    if (early >= 0) return early;
    const int closed = OpenPackage("verify", parsed.operands[0], parsed.Has("--force"));
    if (closed >= 0) return closed;

    const Preflight preflight = PredictJob(TEXT(""));
    PrintPreflight(stdout, preflight, Shown(fs::u8path(parsed.operands[0])));
    printf("%s\n", VerdictLine(preflight.verdict).c_str());
    return preflight.verdict;
}

// ---- run ---------------------------------------------------------------

uint64_t Bytes(const std::vector<TreeEntry>& tree)
{
    uint64_t bytes = 0;
    for (const TreeEntry& entry : tree) bytes += entry.bytes;
    return bytes;
}

uint64_t Files(const std::vector<TreeEntry>& tree)
{
    uint64_t files = 0;
    for (const TreeEntry& entry : tree) files += entry.folder ? 0 : 1;
    return files;
}

struct Copied {
    uint64_t files = 0;
    uint64_t bytes = 0;
};

// The regular files below folder that this job wrote (created since the
// stamp), links not followed. Safe beside the job: entries may vanish
// while it runs, so every error skips the entry.
Copied CopiedSince(const fs::path& folder, FileStamp since)
{
    Copied copied;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, error), end;
    for (; !error && it != end; it.increment(error)) {
        std::error_code entryError;
        if (!fs::is_regular_file(it->symlink_status(entryError)) || !WrittenSince(it->path(), since)) continue;
        const uintmax_t size = it->file_size(entryError);
        if (entryError) continue;
        ++copied.files;
        copied.bytes += size;
    }
    return copied;
}

// Samples the bytes this job copied into MassStorage against the package's
// bytes from a second thread while the job runs on this one, and redraws
// one line on stderr that always fits the terminal's width, so nothing wraps
// and nothing stays behind. The count never goes back: the stale map the job
// deletes first is not this job's progress.
class ProgressBar {
public:
    ProgressBar(uint64_t totalBytes, fs::path target, FileStamp since)
        : total_(totalBytes), target_(std::move(target)), since_(since), thread_([this] { Sample(); })
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
        Close();
    }
    // Clears the bar's line for good; safe from any thread.
    void Close()
    {
        std::lock_guard<std::mutex> lock(drawing_);
        if (closed_) return;
        closed_ = true;
        fprintf(stderr, "\r\033[K");
        fflush(stderr);
    }

private:
    void Sample()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return done_; })) {
            lock.unlock();
            shown_ = std::max(shown_, CopiedSince(target_, since_).bytes);
            Draw(shown_);
            lock.lock();
        }
    }
    void Draw(uint64_t bytes)
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
        std::lock_guard<std::mutex> lock(drawing_);
        if (closed_) return;
        fprintf(stderr, "\r%s\033[K", line.c_str());
        fflush(stderr);
    }

    const uint64_t total_;
    const fs::path target_;
    const FileStamp since_;
    uint64_t shown_ = 0;
    std::mutex mutex_;
    std::mutex drawing_;
    bool closed_ = false;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_; // last: starts once the fields above are set
};

struct RunOptions {
    fs::path deviceRoot = ".";
    fs::path library;
    bool force = false;
};

// What run found before the job, and what the job then did.
struct RunPlan {
    FolderLock* lock = nullptr; // on the device root, for the whole run
    fs::path shownRoot;     // the device root, absolute, for messages
    fs::path packageOnDisk; // empty: no package folder
    fs::path targetOnDisk;  // empty: no MassStorage folder
    std::vector<TreeEntry> package;
    Preflight preflight;
    bool preflighted = false;
    int32_t status = 0;
    double seconds = 0;
};

// The job as the interrupt handler sees it: set before the job starts.
struct JobContext {
    int32_t (*copyFiles)(void) = nullptr;
    bool showProgress = false;
    uint64_t packageBytes = 0;
    uint64_t packageFiles = 0;
    fs::path target;
    FileStamp since = 0;
    std::atomic<ProgressBar*> bar{nullptr};
};
JobContext g_job;

int32_t RunTheJob()
{
    if (!g_job.showProgress) return g_job.copyFiles();
    ProgressBar bar(g_job.packageBytes, g_job.target, g_job.since);
    g_job.bar = &bar;
    const int32_t status = g_job.copyFiles();
    g_job.bar = nullptr;
    return status;
}

// The last words of an interrupted run, on the signal's thread.
void ReportInterruption(int exitCode)
{
    ProgressBar* bar = g_job.bar;
    if (bar) bar->Close();
    const Copied copied = CopiedSince(g_job.target, g_job.since);
    fflush(stdout);
    fprintf(stderr,
            "pelk-mapcopy: interrupted (%s): MassStorage is incomplete, %s (%s) of %s (%s) copied so far, so the "
            "device would have no usable map; pelk-mapcopy run again installs it\n",
            exitCode == 130 ? "SIGINT" : "SIGTERM", Plural(copied.files, "file", "files").c_str(),
            Size(copied.bytes).c_str(), Grouped(g_job.packageFiles).c_str(), Size(g_job.packageBytes).c_str());
}

int ParseRun(const std::vector<std::string>& arguments, RunOptions* options)
{
    ParsedArguments parsed;
    const int early = Parse("run", arguments, kRunOptions, 0, &parsed);
    if (early >= 0) return early;
    std::error_code ignored;
    options->force = parsed.Has("--force");
    if (parsed.Has("--device-root")) options->deviceRoot = fs::u8path(parsed.Value("--device-root"));
    // Named before the device root is entered: a relative name is a file here.
    options->library = parsed.Has("--library") ? fs::absolute(fs::u8path(parsed.Value("--library")), ignored)
                                               : DefaultModule();
    return -1;
}

const char kUseForce[] = "Use --force to run it anyway.";

// forceHelps: --force would give the job a chance; else it only empties MassStorage.
int Refuse(const std::string& why, const std::string& outcome, bool forceHelps = true)
{
    return Failure(kExitUsage, why + "\n" + outcome + " MassStorage is left as it is." +
                                   (forceHelps ? std::string(" ") + kUseForce : std::string()));
}

// The package's findings and the free space, before MassStorage is touched.
int RefusePackage(RunPlan* plan)
{
    plan->preflight = PredictJob(kPackageFolder);
    plan->preflighted = true;
    const Preflight& preflight = plan->preflight;
    const std::string verify = "pelk-mapcopy verify " + Shown(plan->shownRoot / plan->packageOnDisk);
    if (!preflight.Clean()) {
        PrintPreflight(stderr, preflight, Shown(plan->shownRoot / plan->packageOnDisk));
        const std::string outcome =
            preflight.verdict == kExitNotForACard
                ? "The package has findings no card should hold (above, as " + verify + " shows them)."
                : "The job would empty MassStorage and then end with " + StatusName(preflight.verdict) +
                      ", leaving the device with no map (" + verify + " shows the same).";
        return Refuse("not run: " + VerdictLine(preflight.verdict), outcome);
    }
    VolumeSpace space;
    std::string why;
    const fs::path volume = plan->targetOnDisk.empty() ? fs::path(".") : plan->targetOnDisk;
    if (!FreeSpace(volume, &space, &why) || !space.known) return -1; // unknown, not full
    const uint64_t needed = AllocatedBytes(preflight.check.tree, space.clusterBytes);
    const uint64_t room = space.freeBytes + (plan->targetOnDisk.empty()
                                                 ? 0
                                                 : AllocatedBytes(ListTree(kTargetFolder), space.clusterBytes));
    if (needed <= room) return -1;
    return Refuse("the package (" + Size(needed) + " in clusters of " + Size(space.clusterBytes) +
                      ") does not fit on the volume holding MassStorage (" + Size(room) +
                      " free, counting what MassStorage holds now): " + Size(needed - room) +
                      " more must be freed on it",
                  "The job would empty MassStorage and then end with " + StatusName(STATUS_COPY_FAILED) +
                      ", leaving the device with no map.",
                  false);
}

bool IsFileOnDisk(const WCHAR* devicePath)
{
    WIN32_FIND_DATAW record;
    HANDLE probe = FindFirstFileW(devicePath, &record);
    if (probe == INVALID_HANDLE_VALUE) return false;
    FindClose(probe);
    return !IsFolderEntry(&record);
}

// Enters the device root and refuses what the job would wreck; returns an
// exit code, or -1 to go on.
int PreflightRun(const RunOptions& options, RunPlan* plan)
{
    std::error_code ignored;
    plan->shownRoot = fs::absolute(options.deviceRoot, ignored).lexically_normal();
    // "dir/." normalises to "dir/": shown without the trailing separator.
    if (!plan->shownRoot.has_filename() && plan->shownRoot != plan->shownRoot.root_path())
        plan->shownRoot = plan->shownRoot.parent_path();
    std::string why;
    long holder = 0;
    switch (LockFolder(options.deviceRoot, &plan->lock, &holder, &why)) {
    case LockOutcome::Taken:
        break;
    case LockOutcome::HeldElsewhere:
        return Failure(kExitInUse, "another pelk-mapcopy" + (holder ? " (pid " + std::to_string(holder) + ")" : std::string()) +
                                       " is using " + Shown(plan->shownRoot) + "; run again once it has ended");
    case LockOutcome::Failed:
        return Failure(kExitNoInput, "cannot enter the device root " + Shown(options.deviceRoot) + ": " + why);
    }
    if (!EnterDeviceRoot(options.deviceRoot, &why))
        return Failure(kExitNoInput, "cannot enter the device root " + Shown(options.deviceRoot) + ": " + why);
    // As the job finds them: in any letter case, no link on the way.
    plan->packageOnDisk = FolderOnDisk(kPackageFolder);
    plan->targetOnDisk = FolderOnDisk(kTargetFolder);
    plan->package = ListTree(kPackageFolder);
    if (options.force) return -1;
    if (plan->packageOnDisk.empty()) {
        fs::path link = LinkNamed(".", "SDMMC");
        if (link.empty() && !FolderOnDisk(TEXT("SDMMC")).empty()) link = LinkNamed(FolderOnDisk(TEXT("SDMMC")), "PREDLMAP");
        const std::string what =
            link.empty() ? "is missing in the device root " + Shown(plan->shownRoot)
                         : "is not there for the job in the device root " + Shown(plan->shownRoot) + ": " +
                               Shown(link) + " is a symbolic link, and the job never follows links";
        return Refuse("the package folder " + Shown(fs::path("SDMMC") / "PreDLMap") + " " + what,
                      "The job would empty MassStorage first and then end with " + StatusName(STATUS_SOURCE_MISSING) +
                          ".",
                      false);
    }
    if (IsFileOnDisk(kTargetFolder))
        return Refuse("MassStorage in the device root " + Shown(plan->shownRoot) + " is a file, not a folder",
                      "The job cannot copy into it and would end with " + StatusName(STATUS_COPY_FAILED) + ".");
    return RefusePackage(plan);
}

// Loads the module and runs its job; returns an exit code, or -1 when the job ran.
int Execute(const RunOptions& options, RunPlan* plan)
{
    std::string why;
    Module* module = LoadModule(options.library, &why);
    if (!module) return Failure(kExitUnavailable, "cannot load the module " + Shown(options.library) + ": " + why);
    using MapCopyPath = const PELK_WCHAR* (*)(void);
    auto copyFiles = reinterpret_cast<int32_t (*)(void)>(FindExport(module, "PELK_UserMapCopy_CopyFiles"));
    auto mapCopyPath = reinterpret_cast<MapCopyPath>(FindExport(module, "GetMapCopyPath"));
    if (!copyFiles || !mapCopyPath) {
        UnloadModule(module);
        return Failure(kExitUnavailable,
                       Shown(options.library) + " does not export PELK_UserMapCopy_CopyFiles and GetMapCopyPath");
    }
    g_job.copyFiles = copyFiles;
    g_job.showProgress = ErrorTerminalColumns() > 0;
    g_job.packageBytes = Bytes(plan->package);
    g_job.packageFiles = Files(plan->package);
    g_job.target = plan->targetOnDisk.empty() ? fs::path("MassStorage") : plan->targetOnDisk;
    g_job.since = StampNow();
    const auto start = std::chrono::steady_clock::now();
    plan->status = RunInterruptible(RunTheJob, ReportInterruption);
    plan->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    UnloadModule(module);
    return -1;
}

// The first package entry, in the order the job's walk meets them, that is
// not in MassStorage as it stands: where the copy stopped.
std::string NotCopied(const std::vector<TreeEntry>& package, const std::map<DeviceString, const TreeEntry*>& inTarget)
{
    std::map<DeviceString, const TreeEntry*> seen;
    for (const TreeEntry& entry : package) {
        const auto earlier = seen.emplace(entry.key, &entry);
        if (!earlier.second) {
            // The second of two names that differ only in letter case: a
            // folder cannot be created beside the first, a file is copied over it.
            if (entry.folder)
                return Shown(entry.host) + " cannot be created in MassStorage beside " +
                       Shown(earlier.first->second->host) + ": their names differ only in letter case";
            continue;
        }
        const auto found = inTarget.find(entry.key);
        if (found == inTarget.end()) return Shown(entry.host) + " is not in MassStorage";
        const TreeEntry& copy = *found->second;
        if (copy.folder != entry.folder)
            return Shown(entry.host) + " is a " + (entry.folder ? "folder" : "file") + ", " + Shown(copy.host) + " a " +
                   (copy.folder ? "folder" : "file");
        if (!entry.folder && copy.bytes != entry.bytes)
            return Shown(entry.host) + " holds " + Size(entry.bytes) + ", its copy " + Shown(copy.host) + " " +
                   Size(copy.bytes);
    }
    return std::string();
}

// Where MassStorage and the package part, for a failed job: a stale entry
// first when the clearing failed, else where the copy stopped.
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
    const bool clearing = status == STATUS_DELETE_FAILED || status == STATUS_REMOVE_DIR_FAILED;
    std::string first = clearing ? stale() : NotCopied(package, inTarget);
    if (first.empty()) first = clearing ? NotCopied(package, inTarget) : stale();
    return first.empty() ? "first difference: none, MassStorage holds every package entry at its size"
                         : "first difference: " + first;
}

// The cause of a failed copy the tool can know: a full volume.
std::string FailureCause(int32_t status, const RunPlan& plan, const std::vector<TreeEntry>& installed)
{
    if (status != STATUS_COPY_FAILED && status != STATUS_CREATE_DIR_FAILED) return std::string();
    VolumeSpace space;
    std::string why;
    if (!FreeSpace(plan.targetOnDisk.empty() ? fs::path("MassStorage") : plan.targetOnDisk, &space, &why) ||
        !space.known)
        return std::string();
    const uint64_t packageBytes = Bytes(plan.package);
    const uint64_t copied = Bytes(installed);
    const uint64_t left = packageBytes > copied ? packageBytes - copied : 0;
    if (space.freeBytes >= left && space.freeBytes >= space.clusterBytes) return std::string();
    return "cause: no space left on the volume holding MassStorage (" + Size(space.freeBytes) + " free, " +
           Size(left) + " of the package left to copy)";
}

// After a failed job: why, where the job stopped, the package's findings
// (it is as the job found it: the job never changes it) and what to run.
void ReportFailure(RunPlan* plan, const std::vector<TreeEntry>& installed)
{
    const int32_t status = plan->status;
    const std::string cause = FailureCause(status, *plan, installed);
    if (!cause.empty()) printf("%s\n", cause.c_str());
    if (status == STATUS_SOURCE_MISSING && plan->packageOnDisk.empty()) {
        printf("first difference: the package folder %s is missing\n", Shown(fs::path("SDMMC") / "PreDLMap").c_str());
        return;
    }
    if (!plan->preflighted) plan->preflight = PredictJob(kPackageFolder);
    const std::vector<Finding>& findings = plan->preflight.check.findings;
    const std::string first = FirstDifference(status, ListTree(kPackageFolder), installed);
    // An entry too long to name is in no listing: the walk stopped at the first finding of its stage.
    const auto stopped = std::find_if(findings.begin(), findings.end(),
                                      [status](const Finding& finding) { return finding.code == status; });
    const Finding* where = nullptr;
    if (first.rfind("first difference: none", 0) == 0 && stopped != findings.end()) where = &*stopped;
    if (where) printf("the job stopped at %s\n", where->text.c_str());
    else printf("%s\n", first.c_str());
    for (const Finding& finding : findings)
        if (&finding != where) printf("finding: %s\n", finding.text.c_str());
    printf("pelk-mapcopy verify %s names what the device's job meets in this package\n",
           Shown(plan->shownRoot / plan->packageOnDisk).c_str());
}

// The summary of the job: its status, what MassStorage holds, and after a
// failure why and where, with the package's findings.
int Report(RunPlan* plan)
{
    const int32_t status = plan->status;
    const std::vector<TreeEntry> installed = ListTree(kTargetFolder);
    uint64_t summed = 0;
    uint64_t other = 0;
    for (const TreeEntry& entry : installed) {
        if (entry.folder) continue;
        const size_t slash = entry.key.rfind(TEXT('\\'));
        const DeviceString name = entry.key.substr(slash == DeviceString::npos ? 0 : slash + 1);
        ++(IsSummedFileName(name.c_str()) ? summed : other);
    }
    // The job's 0 is a claim about MassStorage; another program may have
    // changed it meanwhile, or the module may not be what it says.
    std::string notInstalled;
    if (status == STATUS_OK) {
        const std::string first = FirstDifference(status, ListTree(kPackageFolder), installed);
        if (first.rfind("first difference: none", 0) != 0) notInstalled = first;
    }
    if (notInstalled.empty())
        printf("%s\n", StatusLine(status).c_str());
    else
        printf("NOT INSTALLED: the job returned %s, but MassStorage does not hold the package\n",
               StatusName(status).c_str());
    if (IsFileOnDisk(kTargetFolder))
        printf("MassStorage is a file, not a folder\n");
    else if (summed + other == 0)
        printf("MassStorage is empty\n");
    else
        printf("MassStorage holds %s (%s), %s of them summed\n%s", Plural(summed + other, "file", "files").c_str(),
               Size(Bytes(installed)).c_str(), Grouped(summed).c_str(), NotSummed(other).c_str());
    if (!notInstalled.empty()) printf("%s\npelk-mapcopy run again installs it\n", notInstalled.c_str());
    if (status > STATUS_OK && status <= STATUS_CHECKSUM_FAILED) ReportFailure(plan, installed);
    printf("time %.3f s\n", plan->seconds);
    fflush(stdout);
    if (!notInstalled.empty()) return kExitSoftware;
    return status >= STATUS_OK && status <= STATUS_CHECKSUM_FAILED ? status : kExitSoftware;
}

int Run(const std::vector<std::string>& arguments)
{
    RunOptions options;
    RunPlan plan;
    int code = ParseRun(arguments, &options);
    if (code < 0) code = PreflightRun(options, &plan);
    if (code < 0) code = Execute(options, &plan);
    if (code < 0) code = Report(&plan);
    UnlockFolder(plan.lock);
    return code;
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
    for (const std::string& argument : OptionPart(arguments))
        if (IsHelp(argument)) return Help({command});
    if (command == "run") return Run(arguments);
    if (command == "seal") return Seal(arguments);
    return Verify(arguments);
}
