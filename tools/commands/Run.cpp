// pelk-mapcopy run: plays the device application. Locks and checks the
// device root, loads the module, runs its job with a progress bar and an
// interrupt that tell what MassStorage really holds, and reports.
#include <algorithm>
#include <atomic>
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
#include "LiveLines.h"
#include "Manifest.h"
#include "PELK_UserMapCopy.h"
#include "Package.h"
#include "Preflight.h"
#include "Progress.h"
#include "ProgressTicker.h"
#include "ToolPlatform.h"
#include "Transfer.h"
#include "TreePath.h"

namespace fs = std::filesystem;

namespace tool {


// ---- run ---------------------------------------------------------------


namespace {

const std::vector<OptionRule> kRunOptions = OptionRules("run");

// ---- the state the run's threads share ----------------------------------
//
// Four threads meet while run works: its own (which runs the checks, the
// job in the module, which never returns early, and the report), the
// progress line's sampler (a Ticker), and the platform's interrupt thread,
// which runs ReportInterruption() once for SIGINT or SIGTERM and then ends
// the process. Everything they share is in JobWatch, which Run owns:
// - lock serialises the tool's own file services (for one thread at a time)
//   and the model they feed: run's own thread holds it (`held`) but while it
//   reads package bytes with the tool's thread-safe file calls and while the
//   job runs, so the interrupt can look at MassStorage then, and the sampler
//   looks during the job;
// - the phase and the checks' counts are atomic: the sampler reads them
//   without lock;
// - output is stderr's progress line, closed for good once the run's
//   results or the interrupt's words own stderr.
enum class RunPhase { Opening, Listing, Checking, Room, Job, After };

struct JobWatch {
    int32_t (*copyFiles)(void) = nullptr;
    std::atomic<RunPhase> phase{RunPhase::Opening};
    std::atomic<uint64_t> packageBytes{0};
    std::atomic<uint64_t> packageFiles{0};
    std::atomic<uint64_t> checkedFiles{0}; // package files the checks have read
    std::atomic<uint64_t> checkedBytes{0};

    std::mutex lock;
    std::unique_lock<std::mutex> held{lock, std::defer_lock}; // run's own thread's hold
    std::unique_ptr<ProgressModel> model;
    FolderWatch* target = nullptr; // MassStorage as the job found it
    JobProgress last;
    bool jobEnded = false;
    int32_t status = 0; // the job's, once it has ended
    // When the copy was first seen, and how much was copied then: the rate's base.
    bool copyingSeen = false;
    std::chrono::steady_clock::time_point copyStart;
    uint64_t copyStartBytes = 0;

    ProgressOutput output; // stderr's progress line

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

// Run's own thread lets the file services go for the scope.
class LetGo {
public:
    explicit LetGo(JobWatch& watch) : watch_(watch) { watch_.held.unlock(); }
    ~LetGo() { watch_.held.lock(); }

private:
    JobWatch& watch_;
};

// The job's words for one look; *part: of the package's bytes copied.
std::string JobWords(const JobWatch& watch, const JobProgress& progress, double* part)
{
    if (!progress.copying) {
        *part = 0;
        return "clearing MassStorage: " + Plural(progress.oldFilesLeft, "old file", "old files") + " left";
    }
    const uint64_t packageBytes = watch.packageBytes;
    *part = packageBytes ? static_cast<double>(progress.bytes) / static_cast<double>(packageBytes) : 1.0;
    *part = *part > 1.0 ? 1.0 : *part;
    char percent[8];
    snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(*part * 100.0));
    std::string text = std::string(percent) + " " + Grouped(progress.files) + "/" + Grouped(watch.packageFiles) +
                       " files " + Size(progress.bytes) + " of " + Size(packageBytes);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - watch.copyStart).count();
    const uint64_t copied = progress.bytes > watch.copyStartBytes ? progress.bytes - watch.copyStartBytes : 0;
    const uint64_t left = packageBytes > progress.bytes ? packageBytes - progress.bytes : 0;
    const std::string rate = RateText(copied, seconds, left);
    return rate.empty() ? text : text + " " + rate;
}

// The words for the phase run is in, and the part done (below 0: none to
// show); false when there is nothing to say, or when the job's progress
// needs lock and this thread neither holds it (lockHeld) nor gets it at once.
bool PhaseWords(JobWatch& watch, bool lockHeld, std::string* words, double* part)
{
    *part = -1;
    switch (watch.phase.load()) {
    case RunPhase::Opening:
        return false;
    case RunPhase::Listing:
        *words = "listing the package and MassStorage";
        return true;
    case RunPhase::Checking: {
        const uint64_t bytes = watch.checkedBytes;
        const uint64_t total = watch.packageBytes;
        *part = total ? std::min(1.0, static_cast<double>(bytes) / static_cast<double>(total)) : 1.0;
        *words = "checking the package: " + Grouped(watch.checkedFiles) + "/" + Grouped(watch.packageFiles) +
                 " files " + Size(bytes) + " of " + Size(total);
        return true;
    }
    case RunPhase::Room:
        *words = "counting what MassStorage holds";
        return true;
    case RunPhase::Job: {
        std::unique_lock<std::mutex> look(watch.lock, std::defer_lock);
        if ((!lockHeld && !look.try_lock()) || !watch.model) return false;
        *words = JobWords(watch, watch.Look(), part);
        return true;
    }
    case RunPhase::After:
        *words = "the job has ended: checking MassStorage against the package";
        return true;
    }
    return false;
}

// The line on a terminal: a bar of the part done, when there is one, then
// the words, fitted to columns.
std::string Fitted(const std::string& words, double part, int columns)
{
    const int barWidth = columns - static_cast<int>(words.size()) - 3;
    if (part < 0 || barWidth < 10) return words.substr(0, static_cast<size_t>(columns));
    std::string bar(static_cast<size_t>(part * barWidth), '#');
    bar.resize(static_cast<size_t>(barWidth), '.');
    return "[" + bar + "] " + words;
}

// Shows the phase's progress: redrawn in place on a terminal, and, so that
// a log is not flooded, elsewhere a line as each phase begins and then at
// most one each kPlainLineEvery.
void DrawProgress(JobWatch& watch, bool phaseBegun, bool lockHeld)
{
    std::string words;
    double part = -1;
    if (!PhaseWords(watch, lockHeld, &words, &part)) return;
    if (!watch.output.Terminal()) return watch.output.Throttled(words, phaseBegun);
    const int columns = ProgressOutput::Columns();
    if (columns > 0) watch.output.Show({Fitted(words, part, columns)});
}

// On run's own thread, which holds lock.
void Begin(JobWatch& watch, RunPhase phase)
{
    watch.phase = phase;
    DrawProgress(watch, true, true);
}

// Clears the progress line for good: what follows on stderr or stdout is
// the run's results or the interrupt's words.
void CloseProgress(JobWatch& watch) { watch.output.Close(true); }

// Reads each package file for the checks with the tool's own file calls,
// which any thread may make: the file services are let go meanwhile, and
// the bytes are counted for the progress line.
FileReader CountingReader(JobWatch& watch)
{
    return [&watch](const fs::path& host, const fs::path& relative, uint16_t* sum) {
        FileDigest digest;
        std::string why;
        bool read = false;
        {
            LetGo letGo(watch);
            read = DigestFile(host.empty() ? relative : host, ReadMode::Cached, &digest, &why,
                              [&watch](uint64_t bytes) { watch.checkedBytes += bytes; });
        }
        ++watch.checkedFiles;
        *sum = digest.sum;
        return read;
    };
}

// The package read in full by the checks, shown as it goes.
Preflight PredictShowingProgress(JobWatch& watch, const std::vector<TreeEntry>& package)
{
    watch.packageFiles = TreeFiles(package);
    watch.packageBytes = TreeBytes(package);
    watch.checkedFiles = 0;
    watch.checkedBytes = 0;
    Begin(watch, RunPhase::Checking);
    return PredictJob(kPackageFolder, CountingReader(watch));
}

enum class TargetKind { FolderOrNone, Link, File };
TargetKind TargetOnDisk();
// "a symbolic link", "a file".
const char* TargetKindText(TargetKind kind) { return kind == TargetKind::Link ? "a symbolic link" : "a file"; }

// What MassStorage holds, in one clause: "empty" only when it is.
std::string Holding(const std::vector<TreeEntry>& tree)
{
    const TargetKind target = TargetOnDisk();
    if (target != TargetKind::FolderOrNone)
        return "MassStorage is " + std::string(TargetKindText(target)) + ", not a folder";
    if (FolderOnDisk(kTargetFolder).empty()) return "there is no MassStorage folder";
    if (tree.empty()) return "MassStorage is empty";
    const uint64_t files = TreeFiles(tree);
    if (files == 0) return "MassStorage holds " + Plural(tree.size(), "folder", "folders") + " and no files";
    return "MassStorage holds " + Plural(files, "file", "files") + " (" + Size(TreeBytes(tree)) + ")";
}

// Where run was stopped and what MassStorage holds then, with lock held.
std::string InterruptedWhere(JobWatch& watch)
{
    const RunPhase phase = watch.phase;
    if (phase == RunPhase::Opening) return " before run looked at the device: MassStorage is left as it is";
    if (watch.jobEnded)
        return " after the job ended with " + StatusName(watch.status) + ", before its report: " +
               Holding(ListTree(kTargetFolder)) + "; pelk-mapcopy run again checks and installs the package";
    if (phase != RunPhase::Job)
        return " while run was checking the package and MassStorage, before the job began, so nothing was "
               "changed: " +
               Holding(ListTree(kTargetFolder)) + "; pelk-mapcopy run installs the package";
    const JobProgress progress = watch.Look();
    if (!progress.copying)
        return " while the job was clearing MassStorage: " +
               Plural(progress.oldFilesLeft, "old file", "old files") + " left and none of the package's " +
               Plural(watch.packageFiles, "file", "files") + " (" + Size(watch.packageBytes) +
               ") copied yet, so the device would have no usable map; pelk-mapcopy run again installs it";
    return ": MassStorage is incomplete, " + Plural(progress.files, "file", "files") + " (" + Size(progress.bytes) +
           ") of " + Grouped(watch.packageFiles) + " (" + Size(watch.packageBytes) +
           ") copied so far, so the device would have no usable map; pelk-mapcopy run again installs it";
}

// The last words of an interrupted run, on the interrupt's thread, in any
// phase. lock is never let go: the process exits with these words, and
// run's own thread stays where it waits for lock.
void ReportInterruption(JobWatch& watch, int exitCode)
{
    watch.lock.lock();
    SayInterrupted(&watch.output, true, exitCode, InterruptedWhere(watch));
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
int Refuse(JobWatch& watch, const std::string& why, const std::string& outcome, bool forceHelps = true)
{
    CloseProgress(watch);
    return Failure(kExitUsage, why + "\n" + outcome + " MassStorage is left as it is." +
                                   (forceHelps ? std::string(" ") + kUseForce : std::string()));
}

// The package's findings and the free space, before MassStorage is touched.
Stop RefusePackage(JobWatch& watch, RunPlan* plan)
{
    plan->preflight = PredictShowingProgress(watch, plan->package);
    plan->preflighted = true;
    const Preflight& preflight = plan->preflight;
    const std::string shownPackage = Shown(plan->shownRoot / plan->packageOnDisk);
    const std::string verify = "pelk-mapcopy verify " + shownPackage;
    if (!preflight.Clean()) {
        CloseProgress(watch);
        PrintPreflight(stderr, preflight, shownPackage);
        const std::string reseal = ResealHint(preflight, shownPackage);
        if (!reseal.empty()) fprintf(stderr, "%s\n", reseal.c_str());
        const std::string outcome =
            preflight.verdict == kExitNotForACard
                ? "The package has findings no card should hold (above, as " + verify + " shows them)."
                : "The job would empty MassStorage and then end with " + StatusName(preflight.verdict) +
                      ", leaving the device with no map (" + verify + " shows the same).";
        return Refuse(watch, "not run: " + VerdictLine(preflight.verdict), outcome);
    }
    Begin(watch, RunPhase::Room);
    VolumeSpace space;
    std::string why;
    const fs::path volume = plan->targetOnDisk.empty() ? fs::path(".") : plan->targetOnDisk;
    if (!FreeSpace(volume, &space, &why) || !space.known) return std::nullopt; // unknown, not full
    const uint64_t needed = AllocatedBytes(preflight.check.tree, space.clusterBytes);
    const uint64_t room = space.freeBytes + (plan->targetOnDisk.empty()
                                                 ? 0
                                                 : AllocatedBytes(ListTree(kTargetFolder), space.clusterBytes));
    if (needed <= room) return std::nullopt;
    return Refuse(watch, "the package (" + Size(needed) + " in clusters of " + Size(space.clusterBytes) +
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

// What stands at MassStorage as the job meets it: a link (never followed),
// a file, or a folder or nothing.
TargetKind TargetOnDisk()
{
    if (!LinkNamed(".", "MASSSTORAGE").empty()) return TargetKind::Link;
    return IsFileOnDisk(kTargetFolder) ? TargetKind::File : TargetKind::FolderOrNone;
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
Stop PreflightRun(JobWatch& watch, const RunOptions& options, RunPlan* plan)
{
    plan->shownRoot = NormalFolder(options.deviceRoot);
    const std::string cannot = "cannot enter the device root " + Shown(options.deviceRoot);
    if (const Stop held = LockForWriting(options.deviceRoot, plan->shownRoot, "run", cannot, &plan->lock)) return held;
    std::string why;
    if (!EnterDeviceRoot(options.deviceRoot, &why)) return Failure(kExitNoInput, cannot + ": " + why);
    // The card too, with the lock write and seal take on it.
    const fs::path card = FolderOnDisk(TEXT("SDMMC"));
    if (!card.empty())
        if (const Stop held = LockForWriting(card, plan->shownRoot / card, "run", cannot, &plan->cardLock)) return held;
    Begin(watch, RunPhase::Listing);
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
        return Refuse(watch, "the package folder " + Shown(fs::path("SDMMC") / "PreDLMap") + " " + what,
                      "The job would empty MassStorage first and then end with " + StatusName(STATUS_SOURCE_MISSING) +
                          ".",
                      false);
    }
    const TargetKind target = TargetOnDisk();
    if (target != TargetKind::FolderOrNone)
        return Refuse(watch,
                      "MassStorage in the device root " + Shown(plan->shownRoot) + " is " + TargetKindText(target) +
                          ", not a folder",
                      "The job cannot clear it or copy into it and would end with " +
                          StatusName(StatusOnTargetNotAFolder()) + ".");
    return RefusePackage(watch, plan);
}

// Loads the module and runs its job.
Stop Execute(JobWatch& watch, const RunOptions& options, RunPlan* plan)
{
    std::string why;
    Module* module = LoadModule(options.library, &why);
    if (!module) {
        CloseProgress(watch);
        return Failure(kExitUnavailable, "cannot load the module " + Shown(options.library) + ": " + why);
    }
    using MapCopyPath = const PELK_WCHAR* (*)(void);
    auto copyFiles = reinterpret_cast<int32_t (*)(void)>(FindExport(module, "PELK_UserMapCopy_CopyFiles"));
    auto mapCopyPath = reinterpret_cast<MapCopyPath>(FindExport(module, "GetMapCopyPath"));
    if (!copyFiles || !mapCopyPath) {
        UnloadModule(module);
        CloseProgress(watch);
        return Failure(kExitUnavailable,
                       Shown(options.library) + " does not export PELK_UserMapCopy_CopyFiles and GetMapCopyPath");
    }
    Begin(watch, RunPhase::Room);
    watch.copyFiles = copyFiles;
    watch.packageBytes = TreeBytes(plan->package);
    watch.packageFiles = TreeFiles(plan->package);
    watch.model = std::make_unique<ProgressModel>(plan->package, ListTree(kTargetFolder));
    if (!plan->targetOnDisk.empty()) watch.target = WatchFolder(plan->targetOnDisk);
    const auto start = std::chrono::steady_clock::now();
    watch.copyStart = start;
    Begin(watch, RunPhase::Job);
    {
        LetGo letGo(watch);
        plan->status = watch.copyFiles();
    }
    plan->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    watch.jobEnded = true;
    watch.status = plan->status;
    Begin(watch, RunPhase::After);
    EndWatch(watch.target);
    watch.target = nullptr;
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
struct Difference {
    bool found = false;
    std::string line; // "first difference: ..."
};
Difference FirstDifference(int32_t status, const std::vector<TreeEntry>& package,
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
    if (first.empty()) return {false, "first difference: none, MassStorage holds every package entry at its size"};
    return {true, "first difference: " + first};
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
std::string FailureReport(JobWatch& watch, RunPlan* plan, const std::vector<TreeEntry>& installed)
{
    const int32_t status = plan->status;
    const std::string cause = FailureCause(status, *plan, installed);
    std::string text = cause.empty() ? std::string() : cause + "\n";
    if (status == STATUS_SOURCE_MISSING && plan->packageOnDisk.empty())
        return text + "first difference: the package folder " + Shown(fs::path("SDMMC") / "PreDLMap") +
               " is missing\n";
    if (!plan->preflighted) plan->preflight = PredictShowingProgress(watch, plan->package);
    const std::vector<Finding>& findings = plan->preflight.check.findings;
    const Difference first = FirstDifference(status, ListTree(kPackageFolder), installed);
    // An entry too long to name is in no listing: the walk stopped at the first finding of its stage.
    const auto stopped = std::find_if(findings.begin(), findings.end(),
                                      [status](const Finding& finding) { return finding.code == status; });
    const Finding* where = nullptr;
    if (!first.found && stopped != findings.end()) where = &*stopped;
    text += where ? "the job stopped at " + where->text + "\n" : first.line + "\n";
    for (const Finding& finding : findings)
        if (&finding != where) text += "finding: " + finding.text + "\n";
    // A full volume is no fault of the package: verify would find none.
    if (cause.empty())
        text += "pelk-mapcopy verify " + Shown(plan->shownRoot / plan->packageOnDisk) +
                " names what the device's job meets in this package\n";
    return text;
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

// What MassStorage holds after the job, as it is.
std::string TargetSummary(const std::vector<TreeEntry>& installed, const std::string& unlisted)
{
    const fs::path target = FolderOnDisk(kTargetFolder);
    if (TargetOnDisk() == TargetKind::FolderOrNone && !target.empty() && !unlisted.empty())
        return CountedOnThePc(target, unlisted);
    uint64_t summed = 0;
    uint64_t other = 0;
    for (const TreeEntry& entry : installed) {
        if (entry.folder) continue;
        const size_t slash = entry.key.rfind(TEXT('\\'));
        const DeviceString name = entry.key.substr(slash == DeviceString::npos ? 0 : slash + 1);
        ++(IsSummedFileName(name.c_str()) ? summed : other);
    }
    if (summed + other == 0) return Holding(installed) + "\n";
    return Holding(installed) + ", " + Grouped(summed) + " of them summed\n" + NotSummed(other);
}

// The summary of the job: its status, what MassStorage holds, and after a
// failure why and where, with the package's findings.
int Report(JobWatch& watch, RunPlan* plan)
{
    const int32_t status = plan->status;
    std::string unlisted;
    const std::vector<TreeEntry> installed = ListTree(kTargetFolder, &unlisted);
    // The job's 0 is a claim about MassStorage; another program may have
    // changed it meanwhile, or the module may not be what it says.
    std::string notInstalled;
    if (status == STATUS_OK) {
        // The package as listed before the job: the job never changes it.
        const Difference first = FirstDifference(status, plan->package, installed);
        if (first.found) notInstalled = first.line;
    }
    std::string text = notInstalled.empty() ? StatusLine(status) + "\n"
                                            : "NOT INSTALLED: the job returned " + StatusName(status) +
                                                  ", but MassStorage does not hold the package\n";
    text += TargetSummary(installed, unlisted);
    if (!notInstalled.empty()) text += notInstalled + "\npelk-mapcopy run again installs it\n";
    if (status > STATUS_OK && status <= STATUS_CHECKSUM_FAILED) text += FailureReport(watch, plan, installed);
    char seconds[32];
    snprintf(seconds, sizeof seconds, "time %.3f s\n", plan->seconds);
    // Worked out in full first: the report is all on stdout, or none of it.
    CloseProgress(watch);
    fputs((text + seconds).c_str(), stdout);
    fflush(stdout);
    if (!notInstalled.empty()) return kExitSoftware;
    return status >= STATUS_OK && status <= STATUS_CHECKSUM_FAILED ? status : kExitSoftware;
}

// One run: what its job and its interrupt share.
struct RunState {
    JobWatch watch;
    RunOptions options;
    RunPlan plan;
};

int32_t PreflightExecuteReport(RunState& run)
{
    JobWatch& watch = run.watch;
    watch.held.lock();
    // Redraws the progress line from a second thread, so that it moves
    // while run's own thread waits on the card or on the job.
    Ticker sampler(std::chrono::milliseconds(200), [&watch] { DrawProgress(watch, false, false); });
    Stop stop = PreflightRun(watch, run.options, &run.plan);
    if (!stop) stop = Execute(watch, run.options, &run.plan);
    const int code = stop ? *stop : Report(watch, &run.plan);
    sampler.Stop();
    CloseProgress(watch);
    watch.held.unlock();
    return code;
}

} // namespace

int Run(const std::vector<std::string>& arguments)
{
    RunState run;
    if (const Stop stop = ParseRun(arguments, &run.options)) return *stop;
    const int code = RunInterruptible([&run] { return PreflightExecuteReport(run); },
                                      [&run](int exitCode) { ReportInterruption(run.watch, exitCode); });
    UnlockFolder(run.plan.cardLock);
    UnlockFolder(run.plan.lock);
    return code;
}


} // namespace tool
