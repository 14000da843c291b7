// pelk-mapcopy run: plays the device application. Locks and checks the
// device root, loads the module, runs its job with a progress bar and an
// interrupt that tell what MassStorage really holds, and reports.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Commands.h"
#include "JobStatusText.h"
#include "PELK_UserMapCopy.h"
#include "Package.h"
#include "Preflight.h"
#include "Progress.h"
#include "ToolPlatform.h"
#include "Transfer.h"
#include "TreePath.h"

namespace fs = std::filesystem;

namespace tool {

const char kRunHelp[] =
    "Usage: pelk-mapcopy run [--device-root DIR] [--library FILE] [--force]\n"
    "\n"
    "Loads the PELK_UserMapCopy module and runs its job with DIR (default: the\n"
    "current directory) as the device: MassStorage is emptied, SDMMC/PreDLMap is\n"
    "copied into it and its sum is checked against SDMMC/PreDLMap/checksum.ini.\n"
    "Prints the status, what was copied and summed, and the time taken; after a\n"
    "failure, its cause where it can be known, the entry where the job stopped\n"
    "and the package's findings. Exits with the status (0..6). On a terminal, a\n"
    "progress bar on stderr tells what MassStorage holds, by names and sizes\n"
    "against the package: while the job clears it, the old files left; while it\n"
    "copies, the package files and bytes there, the rate and the time left.\n"
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
    "SDMMC/PreDLMap, a MassStorage that is a file or a symbolic link (which the\n"
    "job never follows), and a package larger than the free space of the volume\n"
    "holding MassStorage, counted in whole clusters as FAT allocates them (what\n"
    "MassStorage holds now counts as free; a volume that reports no size is not\n"
    "checked).\n"
    "\n"
    "Ctrl-C (SIGINT) or SIGTERM stops the job; the last line says what\n"
    "MassStorage holds then, counted as the bar counts. The device would have\n"
    "no usable map: run again.\n"
    "\n"
    "  --device-root DIR  the device's root folder\n"
    "  --library FILE     the module to load (default: " PELK_MODULE_FILE "\n"
    "                     beside this tool" PELK_MODULE_ELSEWHERE ")\n"
    "  --force            run the job even where it is refused\n";


// ---- run ---------------------------------------------------------------


namespace {

const std::vector<OptionRule> kRunOptions = {{"--device-root", true}, {"--library", true}, {"--force", false}};

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

std::string Duration(double seconds)
{
    const long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600) snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

// ---- the state the job's threads share ----------------------------------
//
// Three threads meet while the job runs: the job's own (in the module, which
// never returns early), the bar's sampler (on a terminal), and the platform's
// interrupt thread, which runs Interrupted() once for SIGINT or SIGTERM and
// then ends the process. Everything they share is in JobWatch, set up before
// the job starts and never changed but under `lock`:
// - lock serialises looking at MassStorage (the tool's own file services are
//   for one thread at a time) and the model it feeds;
// - the model and the last progress are only touched with lock held;
// - closed (under lock): no bar is drawn, or it has been cleared for good
//   because the interrupt owns stderr now.
struct JobWatch {
    int32_t (*copyFiles)(void) = nullptr;
    bool showProgress = false;
    uint64_t packageBytes = 0;
    uint64_t packageFiles = 0;
    std::chrono::steady_clock::time_point start;

    std::mutex lock;
    std::unique_ptr<ProgressModel> model;
    FolderWatch* target = nullptr; // MassStorage as the job found it
    JobProgress last;
    bool closed = false;
    // When the copy was first seen, and how much was copied then: the rate's base.
    bool copyingSeen = false;
    std::chrono::steady_clock::time_point copyStart;
    uint64_t copyStartBytes = 0;

    // One look at MassStorage, with lock held.
    JobProgress Look()
    {
        const bool gone = FolderOnDisk(kTargetFolder).empty();
        const auto stillThere = [](const TreeEntry& entry) {
            uint64_t ignored = 0;
            return KindOnDisk(entry.host, &ignored) != EntryKind::Missing;
        };
        last = model->Update(gone ? std::vector<TreeEntry>() : ListTree(kTargetFolder), gone, FolderRemoved(target),
                             stillThere);
        if (last.copying && !copyingSeen) {
            copyingSeen = true;
            copyStart = std::chrono::steady_clock::now();
            copyStartBytes = last.bytes;
        }
        return last;
    }
};
JobWatch g_watch;

// The bar's line for one look, fitted to columns.
std::string BarLine(const JobProgress& progress, int columns)
{
    std::string text;
    double part = 0;
    if (!progress.copying) {
        text = "clearing MassStorage: " + Plural(progress.oldFilesLeft, "old file", "old files") + " left";
    } else {
        part = g_watch.packageBytes ? static_cast<double>(progress.bytes) / static_cast<double>(g_watch.packageBytes)
                                    : 1.0;
        part = part > 1.0 ? 1.0 : part;
        char percent[8];
        snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(part * 100.0));
        text = std::string(percent) + " " + Grouped(progress.files) + "/" + Grouped(g_watch.packageFiles) + " files " +
               Size(progress.bytes) + " of " + Size(g_watch.packageBytes);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - g_watch.copyStart).count();
        const uint64_t copied = progress.bytes > g_watch.copyStartBytes ? progress.bytes - g_watch.copyStartBytes : 0;
        if (seconds >= 1.0 && copied > 0) {
            const double rate = static_cast<double>(copied) / seconds;
            const uint64_t left = g_watch.packageBytes > progress.bytes ? g_watch.packageBytes - progress.bytes : 0;
            text += " " + Size(static_cast<uint64_t>(rate)) + "/s ETA " + Duration(static_cast<double>(left) / rate);
        }
    }
    const int barWidth = columns - static_cast<int>(text.size()) - 3;
    if (barWidth < 10) return text.substr(0, static_cast<size_t>(columns));
    std::string bar(static_cast<size_t>(part * barWidth), '#');
    bar.resize(static_cast<size_t>(barWidth), '.');
    return "[" + bar + "] " + text;
}

// Looks at MassStorage from a second thread while the job runs on this one,
// and redraws one line on stderr that always fits the terminal's width, so
// nothing wraps and nothing stays behind.
class ProgressBar {
public:
    ProgressBar() : thread_([this] { Sample(); }) {}
    ~ProgressBar()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
        std::lock_guard<std::mutex> lock(g_watch.lock);
        Clear();
    }
    // With g_watch.lock held: clears the bar's line for good.
    static void Clear()
    {
        if (g_watch.closed) return;
        g_watch.closed = true;
        fprintf(stderr, "\r\033[K");
        fflush(stderr);
    }

private:
    void Sample()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return done_; })) {
            lock.unlock();
            {
                std::lock_guard<std::mutex> watch(g_watch.lock);
                if (!g_watch.closed) {
                    const JobProgress progress = g_watch.Look();
                    // The last column stays free: a character there makes some terminals wrap.
                    const int columns = ErrorTerminalColumns() - 1;
                    if (columns > 0) {
                        fprintf(stderr, "\r%s\033[K", BarLine(progress, columns).c_str());
                        fflush(stderr);
                    }
                }
            }
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_; // last: starts once the fields above are set
};

int32_t RunTheJob()
{
    if (!g_watch.showProgress) return g_watch.copyFiles();
    ProgressBar bar;
    return g_watch.copyFiles();
}

// The last words of an interrupted run, on the interrupt's thread.
void ReportInterruption(int exitCode)
{
    std::lock_guard<std::mutex> lock(g_watch.lock);
    ProgressBar::Clear();
    const JobProgress progress = g_watch.Look();
    fflush(stdout);
    const char* signal = exitCode == 130 ? "SIGINT" : "SIGTERM";
    if (!progress.copying)
        fprintf(stderr,
                "pelk-mapcopy: interrupted (%s) while the job was clearing MassStorage: %s left and none of the "
                "package's %s (%s) copied yet, so the device would have no usable map; pelk-mapcopy run again "
                "installs it\n",
                signal, Plural(progress.oldFilesLeft, "old file", "old files").c_str(),
                Plural(g_watch.packageFiles, "file", "files").c_str(), Size(g_watch.packageBytes).c_str());
    else
        fprintf(stderr,
                "pelk-mapcopy: interrupted (%s): MassStorage is incomplete, %s (%s) of %s (%s) copied so far, so the "
                "device would have no usable map; pelk-mapcopy run again installs it\n",
                signal, Plural(progress.files, "file", "files").c_str(), Size(progress.bytes).c_str(),
                Grouped(g_watch.packageFiles).c_str(), Size(g_watch.packageBytes).c_str());
}

struct RunOptions {
    fs::path deviceRoot = ".";
    fs::path library;
    bool force = false;
};

// What run found before the job, and what the job then did.
struct RunPlan {
    FolderLock* lock = nullptr;     // on the device root, for the whole run
    FolderLock* cardLock = nullptr; // on its SDMMC, the card's own lock
    fs::path shownRoot;         // the device root, absolute, for messages
    fs::path packageOnDisk;     // empty: no package folder
    fs::path targetOnDisk;      // empty: no MassStorage folder
    std::vector<TreeEntry> package;
    Preflight preflight;
    bool preflighted = false;
    int32_t status = 0;
    double seconds = 0;
};

Stop ParseRun(const std::vector<std::string>& arguments, RunOptions* options)
{
    ParsedArguments parsed;
    if (const Stop early = Parse("run", arguments, kRunOptions, 0, &parsed)) return early;
    std::error_code ignored;
    options->force = parsed.Has("--force");
    if (parsed.Has("--device-root")) options->deviceRoot = fs::u8path(parsed.Value("--device-root"));
    // Named before the device root is entered: a relative name is a file here.
    options->library = parsed.Has("--library") ? fs::absolute(fs::u8path(parsed.Value("--library")), ignored)
                                               : DefaultModule();
    return std::nullopt;
}

const char kUseForce[] = "Use --force to run it anyway.";

// forceHelps: --force would give the job a chance; else it only empties MassStorage.
int Refuse(const std::string& why, const std::string& outcome, bool forceHelps = true)
{
    return Failure(kExitUsage, why + "\n" + outcome + " MassStorage is left as it is." +
                                   (forceHelps ? std::string(" ") + kUseForce : std::string()));
}

// The package's findings and the free space, before MassStorage is touched.
Stop RefusePackage(RunPlan* plan)
{
    plan->preflight = PredictJob(kPackageFolder);
    plan->preflighted = true;
    const Preflight& preflight = plan->preflight;
    const std::string shownPackage = Shown(plan->shownRoot / plan->packageOnDisk);
    const std::string verify = "pelk-mapcopy verify " + shownPackage;
    if (!preflight.Clean()) {
        PrintPreflight(stderr, preflight, shownPackage);
        const std::string reseal = ResealHint(preflight, shownPackage);
        if (!reseal.empty()) fprintf(stderr, "%s\n", reseal.c_str());
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
    if (!FreeSpace(volume, &space, &why) || !space.known) return std::nullopt; // unknown, not full
    const uint64_t needed = AllocatedBytes(preflight.check.tree, space.clusterBytes);
    const uint64_t room = space.freeBytes + (plan->targetOnDisk.empty()
                                                 ? 0
                                                 : AllocatedBytes(ListTree(kTargetFolder), space.clusterBytes));
    if (needed <= room) return std::nullopt;
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

// What stands at MassStorage when it is no folder, as the job meets it: "a
// symbolic link" (never followed) or "a file"; empty for a folder or nothing.
std::string TargetNotAFolder()
{
    if (!LinkNamed(".", "MASSSTORAGE").empty()) return "a symbolic link";
    return IsFileOnDisk(kTargetFolder) ? "a file" : std::string();
}

// How the job ends on a MassStorage that is no folder, found with its own
// listing: a listing the file services call failed (Win32, for a file) ends
// the clearing with 1; one that finds nothing lets the job go on to copy,
// which fails with 5.
int32_t StatusOnTargetNotAFolder()
{
    TreePath pattern;
    WIN32_FIND_DATAW record;
    bool failed = false;
    if (!SetTreePath(&pattern, kTargetFolder) || !AppendTreeText(&pattern, kSearchAllSuffix))
        return STATUS_COPY_FAILED;
    HANDLE search = FindFirstEntry(pattern.text, &record, &failed);
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    return failed ? STATUS_DELETE_FAILED : STATUS_COPY_FAILED;
}

// Locks and enters the device root and refuses what the job would wreck.
Stop PreflightRun(const RunOptions& options, RunPlan* plan)
{
    std::error_code ignored;
    plan->shownRoot = fs::absolute(options.deviceRoot, ignored).lexically_normal();
    // "dir/." normalises to "dir/": shown without the trailing separator.
    if (!plan->shownRoot.has_filename() && plan->shownRoot != plan->shownRoot.root_path())
        plan->shownRoot = plan->shownRoot.parent_path();
    const std::string cannot = "cannot enter the device root " + Shown(options.deviceRoot);
    if (const Stop held = LockForWriting(options.deviceRoot, plan->shownRoot, "run", cannot, &plan->lock)) return held;
    std::string why;
    if (!EnterDeviceRoot(options.deviceRoot, &why)) return Failure(kExitNoInput, cannot + ": " + why);
    // The card too, with the lock write and seal take on it.
    const fs::path card = FolderOnDisk(TEXT("SDMMC"));
    if (!card.empty())
        if (const Stop held = LockForWriting(card, plan->shownRoot / card, "run", cannot, &plan->cardLock)) return held;
    // As the job finds them: in any letter case, no link on the way.
    plan->packageOnDisk = FolderOnDisk(kPackageFolder);
    plan->targetOnDisk = FolderOnDisk(kTargetFolder);
    plan->package = ListTree(kPackageFolder);
    if (options.force) return std::nullopt;
    if (plan->packageOnDisk.empty()) {
        fs::path link = LinkNamed(".", "SDMMC");
        if (link.empty() && !FolderOnDisk(TEXT("SDMMC")).empty())
            link = LinkNamed(FolderOnDisk(TEXT("SDMMC")), "PREDLMAP");
        const std::string what =
            link.empty() ? "is missing in the device root " + Shown(plan->shownRoot)
                         : "is not there for the job in the device root " + Shown(plan->shownRoot) + ": " +
                               Shown(link) + " is a symbolic link, and the job never follows links";
        return Refuse("the package folder " + Shown(fs::path("SDMMC") / "PreDLMap") + " " + what,
                      "The job would empty MassStorage first and then end with " + StatusName(STATUS_SOURCE_MISSING) +
                          ".",
                      false);
    }
    const std::string notAFolder = TargetNotAFolder();
    if (!notAFolder.empty())
        return Refuse("MassStorage in the device root " + Shown(plan->shownRoot) + " is " + notAFolder +
                          ", not a folder",
                      "The job cannot clear it or copy into it and would end with " +
                          StatusName(StatusOnTargetNotAFolder()) + ".");
    return RefusePackage(plan);
}

// Loads the module and runs its job.
Stop Execute(const RunOptions& options, RunPlan* plan)
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
    g_watch.copyFiles = copyFiles;
    g_watch.showProgress = ErrorTerminalColumns() > 0;
    g_watch.closed = !g_watch.showProgress; // no bar, nothing to clear
    g_watch.packageBytes = Bytes(plan->package);
    g_watch.packageFiles = Files(plan->package);
    g_watch.model = std::make_unique<ProgressModel>(plan->package, ListTree(kTargetFolder));
    if (!plan->targetOnDisk.empty()) g_watch.target = WatchFolder(plan->targetOnDisk);
    const auto start = std::chrono::steady_clock::now();
    g_watch.copyStart = start;
    plan->status = RunInterruptible(RunTheJob, ReportInterruption);
    plan->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EndWatch(g_watch.target);
    g_watch.target = nullptr;
    UnloadModule(module);
    return std::nullopt;
}

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
    // The same cluster model as the refusal before the job.
    const uint64_t needed = AllocatedBytes(plan.package, space.clusterBytes);
    const uint64_t copied = AllocatedBytes(installed, space.clusterBytes);
    const uint64_t left = needed > copied ? needed - copied : 0;
    if (space.freeBytes >= left && space.freeBytes >= space.clusterBytes) return std::string();
    const uint64_t more = left > space.freeBytes ? left - space.freeBytes : space.clusterBytes;
    return "cause: no space left on the volume holding MassStorage (" + Size(space.freeBytes) + " free, " +
           Size(left) + " of the package left to copy): free " + Size(more) +
           " more on it, then pelk-mapcopy run installs the package";
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
    // A full volume is no fault of the package: verify would find none.
    if (cause.empty())
        printf("pelk-mapcopy verify %s names what the device's job meets in this package\n",
               Shown(plan->shownRoot / plan->packageOnDisk).c_str());
}

// MassStorage counted on the PC, where the device's paths cannot reach all
// of it (unlisted says why): a stale tree the job could not clear.
std::string CountedOnThePc(const fs::path& target, const std::string& unlisted)
{
    uint64_t folders = 0;
    uint64_t files = 0;
    uint64_t bytes = 0;
    std::error_code error;
    for (fs::recursive_directory_iterator it(target, error), end; !error && it != end; it.increment(error)) {
        const fs::file_status status = it->symlink_status(error);
        if (error) break;
        if (fs::is_directory(status)) {
            ++folders;
            continue;
        }
        ++files;
        std::error_code unsized;
        if (fs::is_regular_file(status)) bytes += it->file_size(unsized);
    }
    const std::string counted = Plural(folders + files, "entry", "entries") + " (" +
                                Plural(folders, "folder", "folders") + " and " + Plural(files, "file", "files") + ", " +
                                Size(bytes) + ")";
    if (error)
        return "MassStorage could not be listed fully (" + unlisted + "; " + error.message() +
               "): it holds at least " + counted + "\n";
    return "MassStorage holds " + counted + "; the device's paths reach only part of them: " + unlisted + "\n";
}

// What MassStorage holds after the job, as it is: "empty" only when it is.
std::string TargetSummary(const std::vector<TreeEntry>& installed, const std::string& unlisted)
{
    const std::string notAFolder = TargetNotAFolder();
    if (!notAFolder.empty()) return "MassStorage is " + notAFolder + ", not a folder\n";
    const fs::path target = FolderOnDisk(kTargetFolder);
    if (target.empty()) return "there is no MassStorage folder\n";
    if (!unlisted.empty()) return CountedOnThePc(target, unlisted);
    uint64_t summed = 0;
    uint64_t other = 0;
    for (const TreeEntry& entry : installed) {
        if (entry.folder) continue;
        const size_t slash = entry.key.rfind(TEXT('\\'));
        const DeviceString name = entry.key.substr(slash == DeviceString::npos ? 0 : slash + 1);
        ++(IsSummedFileName(name.c_str()) ? summed : other);
    }
    if (installed.empty()) return "MassStorage is empty\n";
    if (summed + other == 0)
        return "MassStorage holds " + Plural(installed.size(), "folder", "folders") + " and no files\n";
    return "MassStorage holds " + Plural(summed + other, "file", "files") + " (" + Size(Bytes(installed)) + "), " +
           Grouped(summed) + " of them summed\n" + NotSummed(other);
}

// The summary of the job: its status, what MassStorage holds, and after a
// failure why and where, with the package's findings.
int Report(RunPlan* plan)
{
    const int32_t status = plan->status;
    std::string unlisted;
    const std::vector<TreeEntry> installed = ListTree(kTargetFolder, &unlisted);
    // The job's 0 is a claim about MassStorage; another program may have
    // changed it meanwhile, or the module may not be what it says.
    std::string notInstalled;
    if (status == STATUS_OK) {
        // The package as listed before the job: the job never changes it.
        const std::string first = FirstDifference(status, plan->package, installed);
        if (first.rfind("first difference: none", 0) != 0) notInstalled = first;
    }
    if (notInstalled.empty())
        printf("%s\n", StatusLine(status).c_str());
    else
        printf("NOT INSTALLED: the job returned %s, but MassStorage does not hold the package\n",
               StatusName(status).c_str());
    printf("%s", TargetSummary(installed, unlisted).c_str());
    if (!notInstalled.empty()) printf("%s\npelk-mapcopy run again installs it\n", notInstalled.c_str());
    if (status > STATUS_OK && status <= STATUS_CHECKSUM_FAILED) ReportFailure(plan, installed);
    printf("time %.3f s\n", plan->seconds);
    fflush(stdout);
    if (!notInstalled.empty()) return kExitSoftware;
    return status >= STATUS_OK && status <= STATUS_CHECKSUM_FAILED ? status : kExitSoftware;
}

} // namespace

int Run(const std::vector<std::string>& arguments)
{
    RunOptions options;
    RunPlan plan;
    Stop stop = ParseRun(arguments, &options);
    if (!stop) stop = PreflightRun(options, &plan);
    if (!stop) stop = Execute(options, &plan);
    const int code = stop ? *stop : Report(&plan);
    UnlockFolder(plan.cardLock);
    UnlockFolder(plan.lock);
    return code;
}


} // namespace tool
