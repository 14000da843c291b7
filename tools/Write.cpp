// pelk-mapcopy write: a sealed package onto cards, each by a worker of its
// own, read back from the card and proven against the manifest and the
// device's sum before it replaces the card's PreDLMap. How a card stays
// whole at every moment is in docs/writing-cards.md.
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
#include "FileIo.h"
#include "Manifest.h"
#include "Names.h"
#include "PELK_UserMapCopy.h"
#include "Package.h"
#include "Preflight.h"
#include "ToolPlatform.h"
#include "Transfer.h"

namespace fs = std::filesystem;

namespace tool {

const char kWriteHelp[] =
    "Usage: pelk-mapcopy write [--log FILE] [--in-place] [--] PACKAGE_DIR CARD_DIR...\n"
    "\n"
    "Writes the sealed package PACKAGE_DIR onto each card, all cards at once.\n"
    "CARD_DIR is a card's root, the folder the device sees as SDMMC; the package\n"
    "becomes CARD_DIR/PreDLMap and its manifest CARD_DIR/PreDLMap.sha256.\n"
    "\n"
    "First the package is checked as verify checks it and against its manifest\n"
    "(PACKAGE_DIR's name plus .sha256, beside it, as seal writes it); a package\n"
    "with findings, without a manifest or changed since sealing is refused before\n"
    "any card is touched. Then, for each card: its lock (one pelk-mapcopy at a\n"
    "time per card), its volume (room in its clusters for the new package beside\n"
    "the old one), the package into CARD_DIR/PreDLMap.pelk-new, flushed, read back\n"
    "from the card rather than the system's cache and checked against the\n"
    "manifest and the device's sum; only then does it replace CARD_DIR/PreDLMap.\n"
    "A write stopped at any moment leaves the old package whole; the next write\n"
    "clears what it left. Nothing else on the card changes.\n"
    "\n"
    "A card with room for the new package only once the old one is gone is\n"
    "refused, and so is a volume whose driver loses a folder's files when it\n"
    "renames it (fusefat), unless --in-place: the old package is removed first,\n"
    "and until the write completes the card must not go into a device.\n"
    "\n"
    "One progress line per card on stderr (checking, writing, reading back;\n"
    "bytes, rate, time left), plain lines when stderr is no terminal; then one\n"
    "verdict line per card on stdout. Ctrl-C says for each card whether it holds\n"
    "its old package or the new one.\n"
    "\n"
    "Exits 0 when every card is good; otherwise with the largest of the cards'\n"
    "codes: 64 refused untouched (no room, --in-place needed, no card folder),\n"
    "66 the card cannot be opened, 74 a write, flush or read-back failed or what\n"
    "was read back differs (the card may not hold what it claims), 75 another\n"
    "pelk-mapcopy is using the card; before any card: 64 no manifest, 65 a\n"
    "package with findings or changed since sealing, 66 PACKAGE_DIR cannot be\n"
    "opened. 130 (143) for SIGINT (SIGTERM).\n"
    "\n"
    "  --log FILE  append one JSON line per card: card, volume label and serial\n"
    "              where the platform gives them, file system, cluster, files,\n"
    "              bytes, package sum, the manifest's own SHA-256, the phase\n"
    "              reached, the result, seconds, MB/s written and read back\n"
    "  --in-place  remove the old package first where there is no room beside it\n";

namespace {

const std::vector<OptionRule> kWriteOptions = {{"--log", true}, {"--in-place", false}};

const char kPackageName[] = "PreDLMap";
const char kStagingName[] = "PreDLMap.pelk-new";
const char kStashName[] = "PreDLMap.pelk-old";
const char kIncompleteName[] = "PreDLMap.pelk-incomplete";
const char kCardManifestName[] = "PreDLMap.sha256";

enum class Phase { Waiting, Checking, Writing, ReadingBack, Replacing, Done };

const char* PhaseName(Phase phase)
{
    switch (phase) {
    case Phase::Waiting: return "waiting";
    case Phase::Checking: return "checking";
    case Phase::Writing: return "writing";
    case Phase::ReadingBack: return "reading back";
    case Phase::Replacing: return "replacing";
    case Phase::Done: return "done";
    }
    return "";
}

// What the package is, shared read-only by every worker.
struct PackagePlan {
    fs::path folder;                // absolute
    std::vector<TreeEntry> tree;    // host: relative to the package
    Manifest manifest;
    std::string manifestText;
    uint16_t sum = 0;               // as checksum.ini holds it
    uint64_t files = 0;
    uint64_t bytes = 0;
};

// What a card holds, as the interrupt tells it.
enum class Holds { OldPackage, NewPackage, NoPackage };

struct Card;
std::vector<std::unique_ptr<Card>> g_cards;
const PackagePlan* g_package = nullptr;
// Not on a terminal: a plain line from the worker as each phase begins.
bool g_plainLines = false;
std::mutex g_output;
bool g_outputClosed = false;

// One card and its worker. The worker alone writes the fields below `lock`
// but under it; the progress printer and the interrupt read them under it.
struct Card {
    fs::path root;    // absolute
    std::string shown;
    FolderLock* folderLock = nullptr;
    bool inPlace = false;

    std::mutex lock;
    Phase phase = Phase::Waiting;
    Holds holds = Holds::OldPackage;
    bool hadPackage = false;
    uint64_t done = 0;  // bytes of this phase
    uint64_t total = 0; // bytes of this phase
    std::chrono::steady_clock::time_point phaseStart;
    bool finished = false;
    int code = 0;        // 0: good
    std::string verdict; // the line stdout gets
    Phase reached = Phase::Waiting;
    VolumeFacts volume;
    uint64_t clusterBytes = 0;
    double seconds = 0, writeSeconds = 0, readSeconds = 0;

    // Held by the worker across each step that changes what the card
    // holds, so the interrupt reports a card between steps, never mid-step.
    std::mutex replacing;

    void Enter(Phase next, uint64_t bytes)
    {
        std::lock_guard<std::mutex> guard(lock);
        phase = reached = next;
        done = 0;
        total = bytes;
        phaseStart = std::chrono::steady_clock::now();
        if (!g_plainLines) return;
        std::lock_guard<std::mutex> output(g_output);
        if (g_outputClosed) return;
        fprintf(stderr, "%s: %s%s\n", shown.c_str(), PhaseName(next),
                bytes ? (" " + Size(bytes)).c_str() : "");
        fflush(stderr);
    }
    void Add(uint64_t bytes)
    {
        std::lock_guard<std::mutex> guard(lock);
        done += bytes;
    }
    void SetHolds(Holds now)
    {
        std::lock_guard<std::mutex> guard(lock);
        holds = now;
    }
};


uint64_t TreeBytes(const std::vector<TreeEntry>& tree)
{
    uint64_t bytes = 0;
    for (const TreeEntry& entry : tree) bytes += entry.bytes;
    return bytes;
}

DeviceString Units(const fs::path& name)
{
    try {
#if defined(_WIN32)
        return name.wstring();
#else
        const std::u16string units = name.u16string();
        return DeviceString(units.begin(), units.end());
#endif
    } catch (const std::exception&) {
        return DeviceString(1, TEXT('?'));
    }
}

// A folder's tree as AllocatedBytes counts it, walked with the standard
// library (the workers' threads cannot share the library's file services).
std::vector<TreeEntry> TreeOnCard(const fs::path& folder)
{
    std::vector<TreeEntry> tree;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        TreeEntry entry;
        const fs::path relative = it->path().lexically_relative(folder);
        DeviceString key = Units(relative);
        for (auto& unit : key) {
            if (unit == TEXT('/')) unit = TEXT('\\');
            if (unit >= TEXT('a') && unit <= TEXT('z')) unit = static_cast<WCHAR>(unit - 32);
        }
        entry.key = key;
        entry.folder = it->is_directory(error) && !it->is_symlink(error);
        std::error_code sizeError;
        entry.bytes = entry.folder ? 0 : it->file_size(sizeError);
        if (sizeError) entry.bytes = 0;
        entry.entries = DirectoryEntries(Units(relative.filename()));
        tree.push_back(entry);
    }
    return tree;
}

bool Exists(const fs::path& path)
{
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

bool RemoveTree(const fs::path& path, std::string* why)
{
    std::error_code error;
    fs::remove_all(path, error);
    if (error) *why = error.message();
    return !error;
}

// The worker's steps, each a Stop: a card verdict code with card->verdict set.
class CardWriter {
public:
    CardWriter(Card* card, const PackagePlan& package) : card_(card), package_(package) {}

    void Run()
    {
        const auto start = std::chrono::steady_clock::now();
        const bool good = Check() && Write() && ReadBack() && Replace();
        {
            std::lock_guard<std::mutex> guard(card_->lock);
            card_->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (good) {
                card_->phase = card_->reached = Phase::Done;
                card_->verdict = "good: " + card_->shown + " holds the package as read back from the card (" +
                                 Plural(package_.files, "file", "files") + ", " + Size(package_.bytes) + ", sum " +
                                 Hex(package_.sum) + ")" + notes_;
            }
            card_->finished = true;
        }
    }

private:
    bool Fail(int code, const std::string& why)
    {
        std::lock_guard<std::mutex> guard(card_->lock);
        card_->code = code;
        const char* holds = card_->holds == Holds::OldPackage
                                ? (card_->hadPackage ? "it holds its old package" : "it holds no package, as before")
                                : card_->holds == Holds::NewPackage ? "it holds the new package"
                                                                    : "it holds no package: do not put it into a "
                                                                      "device; pelk-mapcopy write again";
        card_->verdict = "NOT GOOD: " + card_->shown + ": " + why + "; " + holds + notes_;
        return false;
    }

    fs::path At(const char* name) const { return card_->root / name; }

    // What a killed write left, cleared; then the card's room.
    bool Check()
    {
        card_->Enter(Phase::Checking, 0);
        std::string why;
        uint64_t ignored = 0;
        if (KindOnDisk(card_->root, &ignored) != EntryKind::Folder)
            return Fail(kExitUsage, "no card folder there");
        const EntryKind packageKind = KindOnDisk(At(kPackageName), &ignored);
        if (packageKind != EntryKind::Missing && packageKind != EntryKind::Folder)
            return Fail(kExitUsage, std::string(kPackageName) + " on the card is no folder (a link or a file); "
                                                                "left as it is");
        {
            std::lock_guard<std::mutex> step(card_->replacing);
            // A stash without a package: a write killed between its two renames. The old package comes back.
            if (packageKind == EntryKind::Missing && Exists(At(kStashName))) {
                if (!RenameToNew(At(kStashName), At(kPackageName), &why))
                    return Fail(kExitIoError, "cannot restore the old package from " + std::string(kStashName) + ": " +
                                                  why);
                notes_ += " (the old package a killed write had set aside is back)";
            }
            if (Exists(At(kIncompleteName))) {
                // An in-place write was killed: its PreDLMap is half a package.
                if (!RemoveTree(At(kPackageName), &why) || !RemoveTree(At(kCardManifestName), &why))
                    return Fail(kExitIoError, "cannot clear the half-written package: " + why);
                card_->SetHolds(Holds::NoPackage);
                notes_ += " (the half-written package of a killed --in-place write was cleared)";
            }
            for (const char* leftover : {kStagingName, kStashName})
                if (Exists(At(leftover)) && !RemoveTree(At(leftover), &why))
                    return Fail(kExitIoError, "cannot clear " + std::string(leftover) + " left by a killed write: " +
                                                  why);
        }
        card_->hadPackage = KindOnDisk(At(kPackageName), &ignored) == EntryKind::Folder;
        card_->volume = DescribeVolume(card_->root);
        hazard_ = FolderRenameHazard(card_->root);
        VolumeSpace space;
        if (!FreeSpace(card_->root, &space, &why)) return Fail(kExitNoInput, "cannot look at its volume: " + why);
        card_->clusterBytes = space.clusterBytes;
        if (!hazard_.empty() && !card_->inPlace)
            return Fail(kExitUsage, "its volume (" + hazard_ +
                                        ") loses a folder's files when it renames the folder, so the new package "
                                        "cannot replace the old one whole; pelk-mapcopy write --in-place removes the "
                                        "old package first, and until it completes the card must not go into a device");
        if (!space.known) return true;
        // The package, its manifest and the folder the package first goes into.
        const uint64_t cluster = std::max<uint64_t>(space.clusterBytes, 1);
        const uint64_t needed = AllocatedBytes(package_.tree, space.clusterBytes) +
                                (package_.manifestText.size() + cluster - 1) / cluster * cluster + cluster;
        const uint64_t oldRoom = card_->hadPackage ? AllocatedBytes(TreeOnCard(At(kPackageName)), space.clusterBytes)
                                                   : 0;
        if (needed <= space.freeBytes) return true;
        if (needed > space.freeBytes + oldRoom)
            return Fail(kExitUsage, "the package (" + Size(needed) + " in clusters of " + Size(space.clusterBytes) +
                                        ") does not fit: " + Size(space.freeBytes) + " free, " + Size(oldRoom) +
                                        " in the old package; " + Size(needed - space.freeBytes - oldRoom) +
                                        " more must be freed; card untouched");
        if (!card_->inPlace)
            return Fail(kExitUsage, "no room for the new package (" + Size(needed) + ") beside the old one (" +
                                        Size(space.freeBytes) + " free); pelk-mapcopy write --in-place removes the "
                                        "old package first, and until it completes the card must not go into a "
                                        "device");
        return true;
    }

    bool Write()
    {
        std::string why;
        // In place: the old package goes first, and a marker says, until the
        // end, that what PreDLMap holds is no package to trust.
        if (card_->inPlace) {
            std::lock_guard<std::mutex> step(card_->replacing);
            OutputFile marker;
            if (!Exists(At(kIncompleteName)) &&
                (!marker.Create(At(kIncompleteName), &why) || !marker.Sync(&why) || !marker.Close(&why)))
                return Fail(kExitIoError, "cannot write " + std::string(kIncompleteName) + ": " + why);
            if (!RemoveTree(At(kCardManifestName), &why) || !RemoveTree(At(kPackageName), &why))
                return Fail(kExitIoError, "cannot remove the old package: " + why);
            card_->SetHolds(Holds::NoPackage);
        }
        // Straight into PreDLMap only where a folder cannot be renamed whole.
        target_ = card_->inPlace && !hazard_.empty() ? At(kPackageName) : At(kStagingName);
        card_->Enter(Phase::Writing, package_.bytes);
        const auto start = std::chrono::steady_clock::now();
        std::error_code error;
        if (!fs::create_directory(target_, error) || error)
            return Fail(kExitIoError, "cannot create " + Shown(target_) + ": " +
                                          (error ? error.message() : std::string("it exists")));
        // checksum.ini last: a package cut short holds none, and the device
        // rejects it (6) rather than trusting a part.
        std::vector<const TreeEntry*> order;
        const TreeEntry* checksum = nullptr;
        for (const TreeEntry& entry : package_.tree) {
            if (!entry.folder && entry.host.parent_path().empty() && UpperAscii(entry.host.u8string()) == "CHECKSUM.INI")
                checksum = &entry;
            else order.push_back(&entry);
        }
        if (checksum) order.push_back(checksum);
        thread_local ChunkBuffer buffer;
        std::vector<fs::path> folders = {target_};
        for (const TreeEntry* entry : order) {
            const fs::path to = target_ / entry->host;
            if (entry->folder) {
                if (!fs::create_directory(to, error) || error)
                    return Fail(kExitIoError, "cannot create " + Shown(to) + ": " + error.message());
                folders.push_back(to);
                continue;
            }
            InputFile input;
            OutputFile output;
            if (!input.Open(package_.folder / entry->host, ReadMode::Cached, &why))
                return Fail(kExitIoError, "cannot read " + Shown(entry->host) + " of the package: " + why);
            if (!output.Create(to, &why)) return Fail(kExitIoError, "cannot create " + Shown(to) + ": " + why);
            for (;;) {
                const long long got = input.Read(&buffer, &why);
                if (got < 0) return Fail(kExitIoError, "cannot read " + Shown(entry->host) + " of the package: " + why);
                if (got == 0) break;
                if (!output.Write(buffer.Data(), static_cast<size_t>(got), &why))
                    return Fail(kExitIoError, "cannot write " + Shown(to) + ": " + why);
                card_->Add(static_cast<uint64_t>(got));
            }
            if (!output.Sync(&why) || !output.Close(&why))
                return Fail(kExitIoError, "cannot flush " + Shown(to) + " to the card: " + why);
        }
        for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
            if (!SyncFolder(*folder, &why)) return Fail(kExitIoError, "cannot flush " + Shown(*folder) + ": " + why);
        if (!SyncFolder(card_->root, &why)) return Fail(kExitIoError, "cannot flush the card's root: " + why);
        card_->writeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return true;
    }

    // Every file as the card gives it back, against the manifest; the sum
    // of the summed ones against checksum.ini, as the device would add them.
    bool ReadBack()
    {
        card_->Enter(Phase::ReadingBack, package_.bytes);
        const auto start = std::chrono::steady_clock::now();
        uint16_t sum = 0;
        std::string why;
        size_t read = 0;
        for (const TreeEntry& entry : package_.tree) {
            if (entry.folder) continue;
            FileDigest digest;
            const fs::path copy = target_ / entry.host;
            if (!DigestFile(copy, ReadMode::FromTheVolume, &digest, &why, [this](uint64_t n) { card_->Add(n); }))
                return Fail(kExitIoError, "cannot read back " + Shown(copy) + ": " + why);
            const auto sealed = package_.manifest.find(ManifestPath(entry.host));
            if (sealed == package_.manifest.end() || sealed->second != digest.sha256 || digest.bytes != entry.bytes)
                return Fail(kExitIoError, "read back, " + ManifestPath(entry.host) +
                                              " differs from the package's manifest: the card may not hold what it "
                                              "claims (a fake capacity, a failing card); use another card");
            if (IsSummedFileName(Units(entry.host.filename()).c_str())) sum = static_cast<uint16_t>(sum + digest.sum);
            ++read;
        }
        if (read != package_.manifest.size())
            return Fail(kExitIoError, "the manifest names " + std::to_string(package_.manifest.size()) +
                                          " files, the package " + std::to_string(read));
        if (sum != package_.sum)
            return Fail(kExitIoError, "read back, the package sums to " + Hex(sum) + " where checksum.ini holds " +
                                          Hex(package_.sum) + ": the card may not hold what it claims");
        card_->readSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return true;
    }

    bool Replace()
    {
        card_->Enter(Phase::Replacing, 0);
        std::string why;
        std::lock_guard<std::mutex> step(card_->replacing);
        if (target_ != At(kPackageName)) {
            // The old manifest first: a card may lack one, never hold a wrong one.
            if (!RemoveTree(At(kCardManifestName), &why))
                return Fail(kExitIoError, "cannot remove the old " + std::string(kCardManifestName) + ": " + why);
            uint64_t ignored = 0;
            if (KindOnDisk(At(kPackageName), &ignored) == EntryKind::Folder) {
                const SwapOutcome swap = ExchangeFolders(At(kStagingName), At(kPackageName), &why);
                if (swap == SwapOutcome::Failed) return Fail(kExitIoError, "cannot put the new package in place: " + why);
                if (swap == SwapOutcome::Swapped) {
                    card_->SetHolds(Holds::NewPackage);
                    RemoveTree(At(kStagingName), &why); // the old package; left for the next write if it stays
                } else {
                    // Two renames: between them the old package is whole as the stash, which the next write restores.
                    if (!RenameToNew(At(kPackageName), At(kStashName), &why))
                        return Fail(kExitIoError, "cannot set the old package aside: " + why);
                    if (!RenameToNew(At(kStagingName), At(kPackageName), &why)) {
                        std::string ignoredWhy;
                        RenameToNew(At(kStashName), At(kPackageName), &ignoredWhy);
                        return Fail(kExitIoError, "cannot put the new package in place: " + why);
                    }
                    card_->SetHolds(Holds::NewPackage);
                    RemoveTree(At(kStashName), &why);
                }
            } else {
                if (!RenameToNew(At(kStagingName), At(kPackageName), &why))
                    return Fail(kExitIoError, "cannot put the new package in place: " + why);
                card_->SetHolds(Holds::NewPackage);
            }
        } else {
            card_->SetHolds(Holds::NewPackage);
        }
        if (!SyncFolder(card_->root, &why)) return Fail(kExitIoError, "cannot flush the card's root: " + why);
        // fusefat overwrites badly: there the manifest is a new file, never renamed over.
        const bool written = hazard_.empty() ? WriteManifestFile(At(kCardManifestName), package_.manifestText, &why)
                                             : WriteNew(At(kCardManifestName), package_.manifestText, &why);
        if (!written) return Fail(kExitIoError, "cannot write " + std::string(kCardManifestName) + ": " + why);
        if (Exists(At(kIncompleteName)) && !RemoveTree(At(kIncompleteName), &why))
            return Fail(kExitIoError, "cannot remove " + std::string(kIncompleteName) + ": " + why);
        SyncFolder(card_->root, &why);
        return true;
    }

    static bool WriteNew(const fs::path& file, const std::string& text, std::string* why)
    {
        OutputFile output;
        return output.Create(file, why) && output.Write(text.data(), text.size(), why) && output.Sync(why) &&
               output.Close(why);
    }

    Card* card_;
    const PackagePlan& package_;
    std::string hazard_;
    std::string notes_;
    fs::path target_;
};

std::string Duration(double seconds)
{
    const long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

// One card's progress line, with card->lock held.
std::string ProgressLine(const Card& card)
{
    std::string line = card.shown + ": " + PhaseName(card.phase);
    if (card.finished) return line + (card.code ? " (not good)" : "");
    if (card.total == 0) return line;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - card.phaseStart).count();
    char percent[8];
    snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(card.done * 100 / card.total));
    line += std::string(" ") + percent + " " + Size(card.done) + " of " + Size(card.total);
    if (seconds >= 0.5 && card.done > 0) {
        const double rate = static_cast<double>(card.done) / seconds;
        line += ", " + Size(static_cast<uint64_t>(rate)) + "/s, ETA " +
                Duration(static_cast<double>(card.total - std::min(card.done, card.total)) / rate);
    }
    return line;
}

// Draws every card's line on a terminal (redrawn in place); elsewhere one
// plain line per card when its phase changes.
class ProgressLines {
public:
    ProgressLines() : terminal_(!g_plainLines), thread_([this] { Draw(); }) {}
    ~ProgressLines()
    {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            done_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }

    // Stops drawing for good (the interrupt's report follows).
    static void Close()
    {
        std::lock_guard<std::mutex> guard(g_output);
        g_outputClosed = true;
    }

private:
    void Draw()
    {
        bool drawn = false;
        std::unique_lock<std::mutex> lock(mutex_);
        for (bool last = false; !last;) {
            last = wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; });
            std::lock_guard<std::mutex> output(g_output);
            if (g_outputClosed) return;
            const int columns = ErrorTerminalColumns() - 1;
            if (!terminal_ && last) return;
            if (terminal_ && drawn) fprintf(stderr, "\033[%zuA", g_cards.size());
            for (size_t i = 0; i < g_cards.size(); ++i) {
                Card& card = *g_cards[i];
                std::lock_guard<std::mutex> guard(card.lock);
                if (terminal_) {
                    fprintf(stderr, "\r%s\033[K\n", ProgressLine(card).substr(0, static_cast<size_t>(columns)).c_str());
                } else if (!card.finished && card.total && ++ticks_ % (20 * g_cards.size()) == 0) {
                    fprintf(stderr, "%s\n", ProgressLine(card).c_str());
                }
            }
            drawn = true;
            fflush(stderr);
        }
    }

    const bool terminal_;
    size_t ticks_ = 0;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_; // last: starts once the fields above are set
};

int32_t WriteAllCards()
{
    std::vector<std::thread> workers;
    {
        ProgressLines progress;
        for (auto& card : g_cards) {
            if (card->finished) continue; // refused before its worker (its lock)
            Card* each = card.get();
            workers.emplace_back([each] { CardWriter(each, *g_package).Run(); });
        }
        for (std::thread& worker : workers) worker.join();
    }
    return 0;
}

// On the interrupt's thread: each card between two of its steps.
void ReportInterruption(int exitCode)
{
    ProgressLines::Close();
    fflush(stdout);
    fprintf(stderr, "pelk-mapcopy: interrupted (%s):\n", exitCode == 130 ? "SIGINT" : "SIGTERM");
    for (auto& card : g_cards) {
        std::lock_guard<std::mutex> step(card->replacing);
        std::lock_guard<std::mutex> guard(card->lock);
        std::string holds;
        if (card->finished && card->code == 0) holds = "holds the new package, read back and proven";
        else if (card->holds == Holds::NewPackage) holds = "holds the new package";
        else if (card->holds == Holds::NoPackage)
            holds = "holds no package (its old one was removed for --in-place): do not put it into a device; "
                    "pelk-mapcopy write again";
        else holds = card->hadPackage ? "holds its old package, whole" : "holds no package, as before";
        fprintf(stderr, "  %s: %s (stopped while %s)\n", card->shown.c_str(), holds.c_str(), PhaseName(card->phase));
    }
    fprintf(stderr, "pelk-mapcopy write again clears what this write left\n");
}

std::string Json(const std::string& text)
{
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

std::string Rate(uint64_t bytes, double seconds)
{
    char text[32];
    snprintf(text, sizeof text, "%.1f", seconds > 0 ? static_cast<double>(bytes) / 1e6 / seconds : 0.0);
    return text;
}

std::string LogLine(const Card& card, const PackagePlan& package)
{
    char seconds[32];
    snprintf(seconds, sizeof seconds, "%.3f", card.seconds);
    const auto optional = [](const std::string& text) { return text.empty() ? std::string("null") : Json(text); };
    return "{\"card\":" + Json(card.shown) + ",\"label\":" + optional(card.volume.label) +
           ",\"serial\":" + optional(card.volume.serial) + ",\"file_system\":" + optional(card.volume.fileSystem) +
           ",\"cluster_bytes\":" + std::to_string(card.clusterBytes) + ",\"files\":" + std::to_string(package.files) +
           ",\"bytes\":" + std::to_string(package.bytes) + ",\"package_sum\":" + Json(Hex(package.sum)) +
           ",\"manifest_sha256\":" + Json(Sha256Of(package.manifestText)) + ",\"phase\":" +
           Json(PhaseName(card.reached)) + ",\"result\":" + Json(card.code ? "not good" : "good") +
           ",\"code\":" + std::to_string(card.code) + ",\"seconds\":" + seconds +
           ",\"write_mb_s\":" + (card.writeSeconds > 0 ? Rate(package.bytes, card.writeSeconds) : "null") +
           ",\"read_mb_s\":" + (card.readSeconds > 0 ? Rate(package.bytes, card.readSeconds) : "null") + "}\n";
}

// The package checked as verify checks it and against its manifest.
Stop PreparePackage(const std::string& typed, PackagePlan* plan)
{
    const fs::path folder = fs::u8path(typed);
    std::error_code error;
    plan->folder = fs::absolute(folder, error).lexically_normal();
    const fs::path manifestFile = ManifestBeside(folder);
    bool present = false;
    std::string why;
    if (!ReadManifestFile(manifestFile, &plan->manifest, &present, &why))
        return Failure(kExitUsage, "the manifest " + Shown(manifestFile) + " cannot be read: " + why +
                                       "; pelk-mapcopy seal " + Shown(folder) + " writes it");
    if (!present)
        return Failure(kExitUsage, "no manifest " + Shown(manifestFile) + " beside the package: pelk-mapcopy seal " +
                                       Shown(folder) + " writes it (and checksum.ini)");
    plan->manifestText = FormatManifest(plan->manifest);
    if (!EnterDeviceRoot(folder, &why))
        return Failure(kExitNoInput, "cannot open the package folder " + typed + ": " + why);
    Manifest now;
    const Preflight preflight = PredictJob(TEXT(""), DigestingReader(&now));
    if (!preflight.Clean()) {
        PrintPreflight(stderr, preflight, Shown(folder));
        return Failure(kExitNotForACard, "no card written: " + VerdictLine(preflight.verdict));
    }
    const ManifestDifference difference = CompareManifests(plan->manifest, now);
    if (difference.Count()) {
        for (const std::string& line : DifferenceLines(difference, 10)) fprintf(stderr, "%s\n", line.c_str());
        return Failure(kExitNotForACard, "no card written: the package differs from its manifest " +
                                             Shown(manifestFile) + " (above); pelk-mapcopy seal " + Shown(folder) +
                                             " if the change was meant");
    }
    plan->tree = preflight.check.tree;
    plan->sum = static_cast<uint16_t>(preflight.checksum.value);
    plan->bytes = TreeBytes(plan->tree);
    for (const TreeEntry& entry : plan->tree) plan->files += entry.folder ? 0 : 1;
    return std::nullopt;
}

} // namespace

int Write(const std::vector<std::string>& arguments)
{
    ParsedArguments parsed;
    std::string error;
    if (!ParseArguments(arguments, kWriteOptions, &parsed, &error)) return UsageError("write: " + error);
    if (parsed.operands.size() < 2) return UsageError("write: expected PACKAGE_DIR and at least one CARD_DIR");
    std::error_code ignored;
    const fs::path log = parsed.Has("--log") ? fs::absolute(fs::u8path(parsed.Value("--log")), ignored) : fs::path();
    // Every card by its absolute path, before the package is entered.
    for (size_t i = 1; i < parsed.operands.size(); ++i) {
        auto card = std::make_unique<Card>();
        card->root = fs::absolute(fs::u8path(parsed.operands[i]), ignored).lexically_normal();
        if (!card->root.has_filename() && card->root != card->root.root_path()) card->root = card->root.parent_path();
        card->shown = parsed.operands[i];
        card->inPlace = parsed.Has("--in-place");
        for (const auto& other : g_cards)
            if (other->root == card->root) return UsageError("write: the card " + card->shown + " is named twice");
        g_cards.push_back(std::move(card));
    }
    PackagePlan package;
    if (const Stop refused = PreparePackage(parsed.operands[0], &package)) return *refused;
    g_package = &package;

    // The locks first, all of them, as run takes its own: a card in use is
    // refused, the others go on.
    for (auto& card : g_cards) {
        long holder = 0;
        std::string why;
        switch (LockFolder(card->root, &card->folderLock, &holder, &why)) {
        case LockOutcome::Taken:
            break;
        case LockOutcome::HeldElsewhere:
            card->code = kExitInUse;
            card->finished = true;
            card->verdict = "NOT GOOD: another pelk-mapcopy" +
                            (holder ? " (pid " + std::to_string(holder) + ")" : std::string()) + " is using " +
                            card->shown + "; card untouched";
            break;
        case LockOutcome::Failed:
            card->code = kExitNoInput;
            card->finished = true;
            card->verdict = "NOT GOOD: cannot open the card " + card->shown + ": " + why;
            break;
        }
    }
    g_plainLines = ErrorTerminalColumns() == 0;
    RunInterruptible(WriteAllCards, ReportInterruption);

    int code = 0;
    FILE* logFile = nullptr;
    if (!log.empty()) {
#if defined(_WIN32)
        logFile = _wfopen(log.c_str(), L"ab");
#else
        logFile = fopen(log.c_str(), "ab");
#endif
        if (!logFile) fprintf(stderr, "pelk-mapcopy: cannot append to the log %s\n", Shown(log).c_str());
    }
    for (auto& card : g_cards) {
        printf("%s\n", card->verdict.c_str());
        code = std::max(code, card->code);
        if (logFile) fputs(LogLine(*card, package).c_str(), logFile);
        UnlockFolder(card->folderLock);
    }
    if (logFile && fclose(logFile) != 0) {
        fprintf(stderr, "pelk-mapcopy: cannot write the log %s\n", Shown(log).c_str());
        code = std::max(code, kExitIoError);
    }
    const size_t good = static_cast<size_t>(
        std::count_if(g_cards.begin(), g_cards.end(), [](const auto& card) { return card->code == 0; }));
    printf("%zu of %zu cards good\n", good, g_cards.size());
    return code;
}

} // namespace tool
