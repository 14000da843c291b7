// One card written as write and station write it (CardWriter.h): a
// worker of its own per card, the package read back from the card and
// proven against the manifest and the device's sum before it replaces the
// card's PreDLMap. How a card stays whole at every moment is in
// docs/writing-cards.md.
#include "CardWriter.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <memory>
#include <set>

#include "CardTree.h"
#include "LiveLines.h"
#include "Names.h"
#include "PELK_UserMapCopy.h"
#include "Preflight.h"
#include "ToolPlatform.h"
#include "Transfer.h"

namespace fs = std::filesystem;

namespace tool {


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

void Card::Enter(Phase next, uint64_t bytes)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        phase = reached = next;
        done = 0;
        total = bytes;
        phaseStart = std::chrono::steady_clock::now();
    }
    batch->output.Plain(shown + ": " + PhaseName(next) + (bytes ? " " + Size(bytes) : std::string()));
}

void Card::Add(uint64_t bytes)
{
    std::lock_guard<std::mutex> guard(lock);
    done += bytes;
}

namespace {

// Made in a leftover for a moment to learn whether it is PreDLMap too.
const char kProbeName[] = "pelk-probe.tmp";

} // namespace

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

// The identity of the folder a path names; false when none is there.
bool FolderIdentity(const fs::path& folder, FileId* id)
{
    HeldHandle opened;
    return g_fileCalls.open(kNoFolder, folder, OpenAs::Folder, opened.Out()) == 0 &&
           g_fileCalls.identify(opened.Get(), id) == 0;
}

// The kind of an entry of an open folder; missing is no error.
bool KindOf(Handle folder, const fs::path& name, std::optional<Kind>* kind, std::string* why)
{
    EntryFacts facts;
    const int error = g_fileCalls.facts(folder, name, &facts);
    if (IsMissing(error)) {
        kind->reset();
        return true;
    }
    if (!Checked(error, why)) return false;
    *kind = facts.kind;
    return true;
}

// A folder's tree as AllocatedBytes counts it and as the package's tree
// lists it (host paths relative to the folder), through the file calls.
bool ListTree(Handle folder, const fs::path& name, const fs::path& below, std::vector<TreeEntry>* tree,
              std::string* why)
{
    HeldHandle opened;
    std::vector<Listed> entries;
    if (!Checked(g_fileCalls.open(folder, name, OpenAs::Folder, opened.Out()), why) ||
        !Checked(g_fileCalls.list(opened.Get(), &entries), why))
        return false;
    for (const Listed& listed : entries) {
        TreeEntry entry;
        entry.host = below / listed.name;
        DeviceString key = Units(entry.host);
        for (auto& unit : key) {
            if (unit == TEXT('/')) unit = TEXT('\\');
            if (unit >= TEXT('a') && unit <= TEXT('z')) unit = static_cast<WCHAR>(unit - 32);
        }
        entry.key = key;
        entry.folder = listed.facts.kind == Kind::Folder;
        entry.bytes = listed.facts.bytes;
        entry.entries = DirectoryEntries(Units(listed.name));
        tree->push_back(entry);
        if (entry.folder && !ListTree(opened.Get(), listed.name, entry.host, tree, why)) return false;
    }
    return true;
}

namespace {

// A tree as names, kinds and sizes, in one order, for comparing two.
std::vector<std::string> Outline(const std::vector<TreeEntry>& tree)
{
    std::vector<std::string> lines;
    for (const TreeEntry& entry : tree)
        lines.push_back(entry.host.generic_u8string() + (entry.folder ? "/" : " " + std::to_string(entry.bytes)));
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Removes name (in folder) and all it holds, so that a card pulled at any
// moment meanwhile has at worst lost clusters, never an entry that points
// at freed ones: each folder's removed entries are flushed before anything
// else, and a flush writes the folder's entries before the FAT.
bool RemoveTree(Handle folder, const fs::path& name, std::string* why)
{
    {
        HeldHandle opened;
        std::vector<Listed> entries;
        const int error = g_fileCalls.open(folder, name, OpenAs::Folder, opened.Out());
        if (IsMissing(error)) return true;
        if (!Checked(error, why) || !Checked(g_fileCalls.list(opened.Get(), &entries), why)) return false;
        // Sub-folders first: each ends with a flush of this folder, which
        // must not carry the frees of files removed here before their entries.
        for (const Listed& entry : entries)
            if (entry.facts.kind == Kind::Folder && !RemoveTree(opened.Get(), entry.name, why)) return false;
        bool removed = false;
        for (const Listed& entry : entries) {
            if (entry.facts.kind == Kind::Folder) continue;
            if (!Checked(g_fileCalls.remove(opened.Get(), entry.name, false), why)) return false;
            removed = true;
        }
        if (removed && !Checked(g_fileCalls.sync(opened.Get()), why)) return false;
    }
    return Checked(g_fileCalls.remove(folder, name, true), why) && Checked(g_fileCalls.sync(folder), why);
}

bool RemoveFile(Handle folder, const fs::path& name, std::string* why)
{
    const int error = g_fileCalls.remove(folder, name, false);
    if (IsMissing(error)) return true;
    return Checked(error, why) && Checked(g_fileCalls.sync(folder), why);
}

} // namespace

// What the card holds, looked at on the card rather than remembered: the
// words after "it" in a verdict and in the interrupt's report.
std::string WhatTheCardHolds(Card& card, const PackagePlan& package)
{
    std::string why;
    HeldHandle byPath;
    Handle root = card.folder.Get();
    if (root == kNoHandle) {
        if (!Checked(g_fileCalls.open(kNoFolder, card.root, OpenAs::Folder, byPath.Out()), &why))
            return "cannot be looked at (" + why + ")";
        root = byPath.Get();
    }
    std::optional<Kind> live, stash, marker;
    if (!KindOf(root, kPackageName, &live, &why) || !KindOf(root, kStashName, &stash, &why) ||
        !KindOf(root, kIncompleteName, &marker, &why))
        return "cannot be looked at (" + why + ")";
    const std::string again = ": do not put it into a device; pelk-mapcopy write again";
    if (marker) return "holds no package to trust (an --in-place write is not complete)" + again;
    if (!live && stash)
        return "has no " + std::string(kPackageName) + ", its old package set aside whole as " + kStashName + again +
               " puts it back";
    if (!live) return card.hadPackage ? "holds no package" + again : "holds no package, as before";
    if (*live != Kind::Folder) return "holds a " + std::string(kPackageName) + " that is no folder";
    std::vector<TreeEntry> tree;
    HeldHandle opened;
    FileId id;
    if (!ListTree(root, kPackageName, fs::path(), &tree, &why) ||
        !Checked(g_fileCalls.open(root, kPackageName, OpenAs::Folder, opened.Out()), &why) ||
        !Checked(g_fileCalls.identify(opened.Get(), &id), &why))
        return "cannot be looked at (" + why + ")";
    const std::vector<std::string> outline = Outline(tree);
    const bool asNew = outline == package.outline;
    const bool asOld = card.hadPackage && outline == Outline(card.oldTree);
    // Where both have the same names and sizes, the folder's identity tells
    // (a FAT volume on Windows numbers a renamed folder anew).
    if (asNew && (!asOld || id == card.newIdentity)) return "holds the new package";
    if (asOld && (!asNew || id == card.oldIdentity)) return "holds its old package, whole";
    if (asNew) return "holds the new package or its old one (the two have the same names and sizes)";
    return "holds a " + std::string(kPackageName) + " that is neither its old package nor the new one" + again;
}

namespace {

// The worker's steps, each a Stop: a card verdict code with card->verdict set.
class CardWriter {
public:
    CardWriter(Card* card, const PackagePlan& package) : card_(card), package_(package) {}

    void Run()
    {
        const auto start = std::chrono::steady_clock::now();
        const bool good = Open() && Check() && Write() && ReadBack() && Replace() && StillTheCard();
        Release();
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

private:
    Handle Root() const { return card_->folder.Get(); }
    bool Stopping() const { return card_->batch->stopping; }

    bool Fail(int code, const std::string& why)
    {
        Release();
        const std::string holds = WhatTheCardHolds(*card_, package_);
        std::lock_guard<std::mutex> guard(card_->lock);
        card_->code = code;
        card_->verdict = "NOT GOOD: " + card_->shown + ": " + why + "; it " + holds + notes_;
        return false;
    }

    bool Interrupted() { return Fail(kExitIoError, "stopped by an interrupt"); }

    // Each step that changes what the card holds runs whole or not at all
    // as the interrupt sees it, and only on the card that was locked.
    bool Begin()
    {
        Release();
        step_ = std::unique_lock<std::mutex>(card_->replacing);
        if (Stopping()) return Interrupted();
        return StillTheCard();
    }
    bool End(std::string* why)
    {
        if (!FlushCard(why)) return false;
        Release();
        return true;
    }
    // What the step changed, on the card. A rename on FAT writes the new
    // entry without its first cluster, which comes with the renamed entry's
    // own write-back: a flush of the root folder alone leaves it out. The
    // volume's flush writes every changed entry first, then their sectors,
    // two renamed entries that share a sector in one write. Where no such
    // flush reaches the card, the root folder's.
    bool FlushCard(std::string* why)
    {
        // syncfs writes and waits but asks no flush of the card's own cache
        // (vfat has none of its own): the root folder's fsync asks it.
        return (!wholeVolume_ || Checked(g_fileCalls.syncVolume(Root()), why)) &&
               Checked(g_fileCalls.sync(Root()), why);
    }
    void Release()
    {
        if (step_.owns_lock()) step_.unlock();
    }
    // A field the progress printer and the interrupt read under the card's lock.
    template <typename Set> void Keep(const Set& set)
    {
        std::lock_guard<std::mutex> guard(card_->lock);
        set();
    }

    // The card folder's path still names the folder opened at the start:
    // a card pulled, unmounted or replaced by another is not written on.
    bool StillTheCard()
    {
        FileId id;
        if (FolderIdentity(card_->root, &id) && id == card_->identity) return true;
        return Fail(kExitIoError, "the card folder is no longer the one this write locked (pulled, unmounted or "
                                  "replaced); nothing more was written");
    }

    bool Open()
    {
        std::string why;
        int error;
        {
            // The interrupt reads the handle under the step lock.
            std::lock_guard<std::mutex> step(card_->replacing);
            error = g_fileCalls.open(kNoFolder, card_->root, OpenAs::Folder, card_->folder.Out());
        }
        if (error) return Fail(kExitNoInput, "cannot open the card folder: " + FailureText(error));
        if (!Checked(g_fileCalls.identify(Root(), &card_->identity), &why))
            return Fail(kExitNoInput, "cannot open the card folder: " + why);
        if (!RecordOldPackage(&why)) return Fail(kExitNoInput, why);
        const int volumeFlush = g_fileCalls.syncVolume(Root());
        if (volumeFlush != 0 && !IsUnsupported(volumeFlush))
            return Fail(kExitIoError, "cannot flush the card: " + FailureText(volumeFlush));
        wholeVolume_ = volumeFlush == 0;
        return true;
    }

    // A leftover that may be the live package under a second name (a rename
    // cut off on FAT writes the new entry before it removes the old one) is
    // never removed: that would free the package's clusters. Two trees that
    // differ are two folders; two that look alike are told apart by a file
    // made in one and looked for in the other.
    bool TwoFolders(const char* leftover, bool* two, std::string* why)
    {
        std::vector<TreeEntry> live, other;
        if (!ListTree(Root(), kPackageName, fs::path(), &live, why) ||
            !ListTree(Root(), leftover, fs::path(), &other, why))
            return false;
        *two = Outline(live) != Outline(other);
        if (*two) return true;
        const fs::path probe = fs::path(leftover) / kProbeName;
        OutputFile made;
        if (!made.Create(Root(), probe, why) || !made.Sync(why) || !made.Close(why)) return false;
        std::optional<Kind> seen;
        const bool looked = KindOf(Root(), fs::path(kPackageName) / kProbeName, &seen, why);
        if (!looked || !Checked(g_fileCalls.remove(Root(), probe, false), why)) return false;
        *two = !seen;
        return true;
    }

    // The package the card holds before this write changes it, as the
    // verdict and the interrupt tell it from the new one.
    bool RecordOldPackage(std::string* why)
    {
        // The interrupt reads it under the step lock.
        Release();
        step_ = std::unique_lock<std::mutex>(card_->replacing);
        const bool recorded = ListOldPackage(why);
        Release();
        return recorded;
    }
    bool ListOldPackage(std::string* why)
    {
        std::optional<Kind> kind;
        card_->oldTree.clear();
        if (!KindOf(Root(), kPackageName, &kind, why)) return false;
        card_->hadPackage = kind == Kind::Folder;
        if (!card_->hadPackage) return true;
        HeldHandle old;
        if (!ListTree(Root(), kPackageName, fs::path(), &card_->oldTree, why) ||
            !Checked(g_fileCalls.open(Root(), kPackageName, OpenAs::Folder, old.Out()), why) ||
            !Checked(g_fileCalls.identify(old.Get(), &card_->oldIdentity), why)) {
            *why = "cannot list the card's " + std::string(kPackageName) + ": " + *why;
            return false;
        }
        return true;
    }

    // A file cannot be probed: two names with the same bytes count as one.
    bool TwoFiles(const char* leftover, const char* live, bool* two, std::string* why)
    {
        std::optional<Kind> kind;
        if (!KindOf(Root(), live, &kind, why)) return false;
        *two = true;
        if (!kind) return true; // nothing to share clusters with
        std::string bytes[2];
        const char* names[2] = {leftover, live};
        for (int i = 0; i < 2; ++i) {
            InputFile input;
            if (!input.Open(Root(), names[i], ReadMode::FromTheVolume, why)) return false;
            thread_local ChunkBuffer buffer;
            for (long long got; (got = input.Read(&buffer, why)) != 0;) {
                if (got < 0) return false;
                bytes[i].append(reinterpret_cast<const char*>(buffer.Data()), static_cast<size_t>(got));
            }
        }
        *two = bytes[0] != bytes[1];
        return true;
    }

    // One step: the old package a write stopped between its two renames had
    // set aside comes back; the leftovers go; an in-place write's half
    // package goes with its marker's manifest.
    bool Recover(bool package, bool stash, bool marker)
    {
        std::string why;
        if (!package && stash) {
            if (!Checked(g_fileCalls.rename(Root(), kStashName, kPackageName, RenameAs::NoReplace), &why) ||
                !FlushCard(&why))
                return Fail(kExitIoError, "cannot restore the old package from " + std::string(kStashName) + ": " +
                                              why);
            package = true;
            notes_ += " (the old package a stopped write had set aside is back)";
        }
        for (const char* leftover : {kStagingName, kStashName, kManifestAside}) {
            std::optional<Kind> kind;
            if (!KindOf(Root(), leftover, &kind, &why)) return Fail(kExitNoInput, "cannot look at the card: " + why);
            if (!kind) continue;
            const std::string live = leftover == kManifestAside ? kCardManifestName : kPackageName;
            bool two = true;
            const bool told = leftover == kManifestAside ? TwoFiles(leftover, kCardManifestName, &two, &why)
                              : *kind == Kind::Folder && package ? TwoFolders(leftover, &two, &why)
                                                                 : true;
            if (!told)
                return Fail(kExitIoError, "cannot tell " + std::string(leftover) + " from " + live + ": " + why);
            if (!two)
                return Fail(kExitIoError, std::string(leftover) + " and " + live +
                                              " are one entry under two names (a write was cut off while it "
                                              "renamed); removing either would free what the other holds, so nothing "
                                              "was removed: repair the card's file system (fsck.fat -a, chkdsk /f), "
                                              "then write again");
            if (!(*kind == Kind::Folder ? RemoveTree(Root(), leftover, &why) : RemoveFile(Root(), leftover, &why)))
                return Fail(kExitIoError, "cannot clear " + std::string(leftover) + " left by a stopped write: " + why);
        }
        if (marker) {
            if (!RemoveFile(Root(), kCardManifestName, &why) || !RemoveTree(Root(), kPackageName, &why) ||
                !FlushCard(&why))
                return Fail(kExitIoError, "cannot clear the half-written package: " + why);
            marked_ = true;
            notes_ += " (the half-written package of a stopped --in-place write was cleared)";
        }
        return End(&why) || Fail(kExitIoError, "cannot flush the card: " + why);
    }

    // What a stopped or pulled write left, cleared; then the card's room.
    bool Check()
    {
        card_->Enter(Phase::Checking, 0);
        std::string why;
        std::optional<Kind> package, stash, marker;
        if (!KindOf(Root(), kPackageName, &package, &why) || !KindOf(Root(), kStashName, &stash, &why) ||
            !KindOf(Root(), kIncompleteName, &marker, &why))
            return Fail(kExitNoInput, "cannot look at the card: " + why);
        if (package && *package != Kind::Folder)
            return Fail(kExitUsage, std::string(kPackageName) + " on the card is no folder (a link or a file); "
                                                                "left as it is");
        if (!Begin() || !Recover(package.has_value(), stash.has_value(), marker.has_value())) return false;
        if (!RecordOldPackage(&why)) return Fail(kExitNoInput, why);
        const VolumeFacts volume = DescribeVolume(card_->root);
        Keep([&] { card_->volume = volume; });
        hazard_ = FolderRenameHazard(card_->root);
        VolumeSpace space;
        if (!FreeSpace(card_->root, &space, &why)) return Fail(kExitNoInput, "cannot look at its volume: " + why);
        Keep([&] { card_->clusterBytes = space.clusterBytes; });
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
        const uint64_t oldRoom = card_->hadPackage ? AllocatedBytes(card_->oldTree, space.clusterBytes) : 0;
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

    // In place: a marker on the card first says, until the end, that
    // PreDLMap is no package to trust; then the old package goes, and the
    // new one is written straight into PreDLMap. Two steps.
    bool ClearInPlace()
    {
        std::string why;
        marked_ = true;
        std::optional<Kind> marker;
        if (!KindOf(Root(), kIncompleteName, &marker, &why)) return Fail(kExitIoError, why);
        if (!Begin()) return false;
        OutputFile made;
        if (!marker &&
            (!made.Create(Root(), kIncompleteName, &why) || !made.Sync(&why) || !made.Close(&why) || !End(&why)))
            return Fail(kExitIoError, "cannot write " + std::string(kIncompleteName) + ": " + why);
        if (!Begin()) return false;
        if (!RemoveFile(Root(), kCardManifestName, &why) || !RemoveTree(Root(), kPackageName, &why) || !End(&why))
            return Fail(kExitIoError, "cannot remove the old package: " + why);
        return true;
    }

    // New folders on FAT are three writes each: the FAT, the folder's first
    // cluster ("." and "..") and its entry in the parent. A flush of the
    // volume writes them in the order of their sectors, an entry mostly far
    // ahead of its cluster; a card pulled between the two holds an entry
    // over a stale cluster, which vfat calls corrupt when the next write
    // clears it, and remounts the card read-only. So the folders come first,
    // a level at a time: the level's FAT by one new folder's flush (nothing
    // else of it is pending), then each parent's: its new folders' clusters
    // and their entries in one batch, the shortest window vfat leaves.
    bool MakeFolders(std::vector<fs::path>* made)
    {
        std::vector<std::vector<fs::path>> levels = {{target_}};
        for (const TreeEntry& entry : package_.tree) {
            if (!entry.folder) continue;
            const size_t depth = static_cast<size_t>(std::distance(entry.host.begin(), entry.host.end()));
            if (levels.size() <= depth) levels.resize(depth + 1);
            levels[depth].push_back(target_ / entry.host);
        }
        std::string why;
        for (const std::vector<fs::path>& level : levels) {
            std::set<fs::path> parents;
            for (const fs::path& folder : level) {
                if (Stopping()) return Interrupted();
                if (!Checked(g_fileCalls.makeFolder(Root(), folder), &why))
                    return Fail(kExitIoError, "cannot create " + Shown(folder) + ": " + why);
                made->push_back(folder);
                parents.insert(folder.parent_path());
            }
            if (level.empty()) continue;
            bool flushed = SyncFolder(Root(), level.front(), &why);
            for (auto parent = parents.begin(); flushed && parent != parents.end(); ++parent)
                flushed = parent->empty() ? Checked(g_fileCalls.sync(Root()), &why) : SyncFolder(Root(), *parent, &why);
            if (!flushed) return Fail(kExitIoError, "cannot flush the new folders: " + why);
        }
        return true;
    }

    // A flush of the whole volume, where one reaches it, costs one flush of
    // the card's cache where a flush of each file costs one a file.
    bool CopyToCard(const TreeEntry& entry, const fs::path& to)
    {
        std::string why;
        thread_local ChunkBuffer buffer;
        InputFile input;
        OutputFile output;
        if (!input.Open(package_.folder / entry.host, ReadMode::Cached, &why))
            return Fail(kExitIoError, "cannot read " + Shown(entry.host) + " of the package: " + why);
        if (!output.Create(Root(), to, &why)) return Fail(kExitIoError, "cannot create " + Shown(to) + ": " + why);
        for (;;) {
            const long long got = input.Read(&buffer, &why);
            if (got < 0) return Fail(kExitIoError, "cannot read " + Shown(entry.host) + " of the package: " + why);
            if (got == 0) break;
            if (!output.Write(buffer.Data(), static_cast<size_t>(got), &why))
                return Fail(kExitIoError, "cannot write " + Shown(to) + ": " + why);
            card_->Add(static_cast<uint64_t>(got));
        }
        if ((!wholeVolume_ && !output.Sync(&why)) || !output.Close(&why))
            return Fail(kExitIoError, "cannot flush " + Shown(to) + " to the card: " + why);
        return true;
    }

    bool Write()
    {
        std::string why;
        if (card_->inPlace && !ClearInPlace()) return false;
        target_ = card_->inPlace ? kPackageName : kStagingName;
        card_->Enter(Phase::Writing, package_.bytes);
        const auto start = std::chrono::steady_clock::now();
        std::vector<fs::path> folders;
        if (!MakeFolders(&folders)) return false;
        // checksum.ini last: a package cut short holds none, and the device
        // rejects it (6) rather than trusting a part.
        std::vector<const TreeEntry*> order;
        const TreeEntry* checksum = nullptr;
        for (const TreeEntry& entry : package_.tree) {
            if (entry.folder) continue;
            if (IsPackageChecksum(entry)) checksum = &entry;
            else order.push_back(&entry);
        }
        if (checksum) order.push_back(checksum);
        for (const TreeEntry* entry : order) {
            if (Stopping()) return Interrupted();
            if (!CopyToCard(*entry, target_ / entry->host)) return false;
        }
        // The staged package on the card before it is read back: one flush
        // of the volume where there is one, else each file's and folder's.
        if (wholeVolume_) {
            if (!FlushCard(&why)) return Fail(kExitIoError, "cannot flush the card: " + why);
        } else {
            for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
                if (!SyncFolder(Root(), *folder, &why))
                    return Fail(kExitIoError, "cannot flush " + Shown(*folder) + ": " + why);
            if (!Checked(g_fileCalls.sync(Root()), &why))
                return Fail(kExitIoError, "cannot flush the card's root: " + why);
        }
        HeldHandle written;
        FileId made;
        if (!Checked(g_fileCalls.open(Root(), target_, OpenAs::Folder, written.Out()), &why) ||
            !Checked(g_fileCalls.identify(written.Get(), &made), &why))
            return Fail(kExitIoError, "cannot open " + Shown(target_) + ": " + why);
        {
            std::lock_guard<std::mutex> step(card_->replacing); // the interrupt reads it under it
            card_->newIdentity = made;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Keep([&] { card_->writeSeconds = seconds; });
        return true;
    }

    // A copy that differs from the manifest: the package's own file read
    // again tells a package changed since it was checked from a card that
    // gives back what it was not given.
    bool ReadBackDiffers(const TreeEntry& entry)
    {
        const std::string path = ManifestPath(entry.host);
        FileDigest now;
        std::string why;
        const auto sealed = package_.manifest.find(path);
        const bool readable = DigestFile(package_.folder / entry.host, ReadMode::Cached, &now, &why);
        if (sealed != package_.manifest.end() && readable && now.sha256 == sealed->second)
            return Fail(kExitIoError, "read back, " + path +
                                          " differs from the package's manifest: the card may not hold what it "
                                          "claims (a fake capacity, a failing card); use another card");
        const std::string what = readable ? " no longer matches its manifest" : " cannot be read now (" + why + ")";
        return Fail(kExitNotForACard, "the package changed while it was written: its " + path + what +
                                          "; restore the package, or check it and seal it again, then write again");
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
            if (Stopping()) return Interrupted();
            FileDigest digest;
            const fs::path copy = target_ / entry.host;
            if (!ReadCardFile(Root(), copy, entry, &digest, &sum, &why, [this](uint64_t n) { card_->Add(n); }))
                return Fail(kExitIoError, "cannot read back " + Shown(copy) + ": " + why);
            const auto sealed = package_.manifest.find(ManifestPath(entry.host));
            if (sealed == package_.manifest.end() || sealed->second != digest.sha256 || digest.bytes != entry.bytes)
                return ReadBackDiffers(entry);
            ++read;
        }
        if (read != package_.manifest.size())
            return Fail(kExitIoError, "the manifest names " + std::to_string(package_.manifest.size()) +
                                          " files, the package " + std::to_string(read));
        if (sum != package_.sum)
            return Fail(kExitIoError, "read back, the package sums to " + Hex(sum) + " where checksum.ini holds " +
                                          Hex(package_.sum) + ": the card may not hold what it claims");
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        Keep([&] { card_->readSeconds = seconds; });
        return true;
    }

    // The card's states, each reached by one step and a flush of the card's
    // root before the next begins: the old manifest gone; the new package
    // in place (one exchange, or two renames with the old one whole aside
    // between them); the old package removed; the new manifest written.
    bool Replace()
    {
        card_->Enter(Phase::Replacing, 0);
        std::string why;
        if (!card_->inPlace) {
            // The old manifest first: a card may lack one, never hold a wrong one.
            if (!Begin()) return false;
            if (!RemoveFile(Root(), kCardManifestName, &why) || !End(&why))
                return Fail(kExitIoError, "cannot remove the old " + std::string(kCardManifestName) + ": " + why);
            const char* old = nullptr;
            if (!Begin() || !Swap(&old)) return false;
            if (old) {
                if (!Begin()) return false;
                if (!RemoveTree(Root(), old, &why) || !End(&why))
                    return Fail(kExitIoError, "cannot remove the old package, now " + std::string(old) + ": " + why);
            }
        }
        if (!Begin()) return false;
        if (!WriteManifest(&why) || !End(&why))
            return Fail(kExitIoError, "cannot write " + std::string(kCardManifestName) + ": " + why);
        if (marked_) {
            if (!Begin()) return false;
            if (!RemoveFile(Root(), kIncompleteName, &why) || !End(&why))
                return Fail(kExitIoError, "cannot remove " + std::string(kIncompleteName) + ": " + why);
        }
        return true;
    }

    // One step: the staged package becomes PreDLMap; *old names the old
    // package's folder now, if there was one.
    bool Swap(const char** old)
    {
        std::string why;
        if (!card_->hadPackage) {
            if (!Checked(g_fileCalls.rename(Root(), kStagingName, kPackageName, RenameAs::NoReplace), &why) ||
                !End(&why))
                return Fail(kExitIoError, "cannot put the new package in place: " + why);
            return true;
        }
        const int swapped = g_fileCalls.rename(Root(), kStagingName, kPackageName, RenameAs::Exchange);
        if (swapped != 0 && !IsUnsupported(swapped))
            return Fail(kExitIoError, "cannot put the new package in place: " + FailureText(swapped));
        if (swapped == 0) {
            *old = kStagingName;
        } else {
            // Two renames, unflushed between them so that both may reach the
            // card in one sector; between them the old package is whole as
            // the stash, which the next write restores.
            if (!Checked(g_fileCalls.rename(Root(), kPackageName, kStashName, RenameAs::NoReplace), &why))
                return Fail(kExitIoError, "cannot set the old package aside: " + why);
            const int renamed = g_fileCalls.rename(Root(), kStagingName, kPackageName, RenameAs::NoReplace);
            if (renamed != 0) {
                g_fileCalls.rename(Root(), kStashName, kPackageName, RenameAs::NoReplace);
                FlushCard(&why);
                return Fail(kExitIoError, "cannot put the new package in place: " + FailureText(renamed));
            }
            *old = kStashName;
        }
        return End(&why) || Fail(kExitIoError, "cannot flush the card: " + why);
    }

    // Written aside and renamed into place, so that a write stopped midway
    // leaves no manifest rather than half of one; on fusefat, which renames
    // badly, it is written where it stays, beside the --in-place marker that
    // has the next write clear a manifest cut short.
    bool WriteManifest(std::string* why)
    {
        const bool direct = !hazard_.empty();
        const char* name = direct ? kCardManifestName : kManifestAside;
        OutputFile output;
        // vfat's fsync of a new file writes its entry before the FAT that
        // gives it its clusters; the volume's flush writes the FAT first.
        return output.Create(Root(), name, why) &&
               output.Write(package_.manifestText.data(), package_.manifestText.size(), why) &&
               (wholeVolume_ ? output.Close(why) && FlushCard(why) : output.Sync(why) && output.Close(why)) &&
               (direct ||
                Checked(g_fileCalls.rename(Root(), kManifestAside, kCardManifestName, RenameAs::NoReplace), why));
    }

    Card* card_;
    const PackagePlan& package_;
    std::unique_lock<std::mutex> step_;
    std::string hazard_;
    std::string notes_;
    fs::path target_;
    bool marked_ = false;      // the card carries the --in-place marker until the end
    bool wholeVolume_ = false; // a flush of the card's volume reaches it
};

} // namespace

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
    const std::string rate = RateText(card.done, seconds, card.total - std::min(card.done, card.total));
    if (!rate.empty()) line += ", " + rate;
    return line;
}

ProgressLines::ProgressLines(ProgressOutput* output, Lines terminal, Lines plain)
    : output_(output), terminalLines_(std::move(terminal)), plainLines_(std::move(plain)),
      ticker_(std::chrono::milliseconds(250), [this] { Draw(); })
{
}

ProgressLines::~ProgressLines()
{
    ticker_.Stop();
    if (output_->Terminal()) Draw();
}

void ProgressLines::Draw()
{
    if (output_->Terminal()) return output_->Show(terminalLines_());
    for (const std::string& line : plainLines_()) output_->Line(line);
}


// The card's line in the log; code and reason as given where the verdict
// is not the card's last word (an interrupt).
CardRecord Record(const Card& card, const PackagePlan& package, int code, const std::string& reason)
{
    CardRecord record;
    record.command = card.command;
    record.started = card.started;
    record.ended = std::chrono::system_clock::now();
    record.typed = card.typed;
    record.shown = card.shown;
    record.path = card.root;
    record.volume = card.volume;
    record.clusterBytes = card.clusterBytes;
    record.packageVersion = package.version;
    record.manifestSha256 = package.manifestSha256;
    record.files = package.files;
    record.bytes = package.bytes;
    record.packageSum = package.sum;
    record.phase = PhaseName(card.reached);
    record.code = code;
    record.reason = reason;
    record.seconds = card.seconds;
    record.writeSeconds = card.writeSeconds;
    record.readSeconds = card.readSeconds;
    return record;
}

std::string Reason(const std::string& verdict)
{
    static const std::string kNotGood = "NOT GOOD: ";
    return verdict.compare(0, kNotGood.size(), kNotGood) == 0 ? verdict.substr(kNotGood.size()) : verdict;
}

CardRecord Record(const Card& card, const PackagePlan& package)
{
    return Record(card, package, card.code, card.code == 0 ? std::string() : Reason(card.verdict));
}

void ReportStoppedCards(CardBatch* batch, const std::vector<Card*>& cards, const PackagePlan& package, CardLog* log,
                        int exitCode)
{
    batch->stopping = true;
    SayInterrupted(&batch->output, false, exitCode, ":");
    const char* signal = SignalName(exitCode);
    for (Card* card : cards) {
        card->replacing.lock();
        Phase phase;
        bool proven, untouched;
        {
            std::lock_guard<std::mutex> guard(card->lock);
            phase = card->phase;
            proven = card->finished && card->code == 0;
            untouched = card->finished && card->phase == Phase::Waiting;
        }
        if (untouched) {
            fprintf(stderr, "  %s: untouched (%s)\n", card->shown.c_str(), card->verdict.c_str());
            std::lock_guard<std::mutex> guard(card->lock);
            log->Append(Record(*card, package));
            continue;
        }
        const std::string holds = WhatTheCardHolds(*card, package);
        fprintf(stderr, "  %s: %s%s (stopped while %s)\n", card->shown.c_str(), holds.c_str(),
                proven && holds == "holds the new package" ? ", read back and proven" : "", PhaseName(phase));
        std::lock_guard<std::mutex> guard(card->lock);
        log->Append(proven ? Record(*card, package)
                           : Record(*card, package, exitCode,
                                    std::string("interrupted (") + signal + ") while " + PhaseName(phase) + "; it " +
                                        holds));
    }
    std::string why;
    if (!log->Close(&why)) fprintf(stderr, "pelk-mapcopy: %s\n", why.c_str());
    fprintf(stderr, "pelk-mapcopy write again clears what this write left\n");
}


namespace {

// The folder or one of the folders above it is the one with identity id.
bool WithinFolder(fs::path folder, const FileId& id)
{
    for (;;) {
        FileId here;
        if (FolderIdentity(folder, &here) && here == id) return true;
        if (folder == folder.root_path() || !folder.has_relative_path()) return false;
        folder = folder.parent_path();
    }
}

} // namespace

// Why a card folder is no card, naming what was probably meant; empty when
// it is one. A write on any of these would nest the package, write beside
// the package the device reads, or remove the package it reads from.
std::string NoCard(const Card& card, const PackagePlan& package)
{
    const std::string name = UpperAscii(card.root.filename().u8string());
    if (name == "PREDLMAP")
        return "is a package folder, not a card folder; the card folder is the one holding it, " +
               Shown(card.root.parent_path());
    HeldHandle folder;
    std::vector<Listed> entries;
    if (g_fileCalls.open(kNoFolder, card.root, OpenAs::Folder, folder.Out()) != 0 ||
        g_fileCalls.list(folder.Get(), &entries) != 0)
        return std::string(); // the worker says why it cannot be opened
    for (const Listed& entry : entries) {
        const std::string entryName = UpperAscii(entry.name.u8string());
        if (entryName == "SDMMC" && entry.facts.kind == Kind::Folder)
            return "is a device root, not a card folder; its card folder is " + Shown(card.root / entry.name);
        if (entryName == "CHECKSUM.INI")
            return "holds " + Shown(entry.name) + ": it is a package, not a card folder";
    }
    FileId cardId, packageId;
    if (!FolderIdentity(card.root, &cardId) || !FolderIdentity(package.folder, &packageId)) return std::string();
    if (WithinFolder(card.root, packageId)) return "lies inside the package " + Shown(package.folder);
    if (WithinFolder(package.folder, cardId))
        return "holds the package being written (" + Shown(package.folder) +
               "), which a write would replace or remove; write from a copy kept off the card";
    return std::string();
}

// The package checked as verify checks it and against its manifest.
Stop PreparePackage(const std::string& typed, PackagePlan* plan, std::string* refusal)
{
    const auto Failure = [refusal](int code, const std::string& message) {
        *refusal = message;
        return tool::Failure(code, message);
    };
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
    plan->files = TreeFiles(plan->tree);
    plan->version = PackageVersion(plan->folder);
    plan->manifestSha256 = Sha256Of(plan->manifestText);
    plan->outline = Outline(plan->tree);
    return std::nullopt;
}

namespace {

// The device reads FAT cards only: a card on any other file system is
// refused before anything is written on it, and its verdict names it.
void RefuseUnlessFat(Card* card)
{
    FileSystemKind kind;
    std::string why;
    if (!g_volumeCalls.fileSystem(card->root, &kind, &why)) {
        card->code = kExitNoInput;
        card->verdict = "NOT GOOD: cannot tell the file system of the card " + card->shown + ": " + why +
                        "; card untouched (--any-volume writes it anyway)";
    } else if (!kind.fat) {
        card->code = kExitUsage;
        card->verdict = "NOT GOOD: " + card->shown + ": its volume is " + kind.name +
                        ", not FAT: the device reads FAT cards only; card untouched (--any-volume writes it anyway)";
        card->volume.fileSystem = kind.name;
    } else {
        return;
    }
    card->finished = true;
}

} // namespace

bool IsPackageChecksum(const TreeEntry& entry)
{
    return entry.host.parent_path().empty() && UpperAscii(entry.host.u8string()) == "CHECKSUM.INI";
}

bool ReadCardFile(Handle root, const fs::path& file, const TreeEntry& entry, FileDigest* digest, uint16_t* sum,
                  std::string* why, const std::function<void(uint64_t)>& progress)
{
    if (!DigestFile(root, file, ReadMode::FromTheVolume, digest, why, progress)) return false;
    if (IsSummedFileName(Units(entry.host.filename()).c_str())) *sum = static_cast<uint16_t>(*sum + digest->sum);
    return true;
}

int LockCard(const fs::path& root, const std::string& shown, const char* command, FolderLock** lock, std::string* why)
{
    LockHolder holder;
    switch (LockFolder(root, command, lock, &holder, why)) {
    case LockOutcome::Taken:
        return 0;
    case LockOutcome::HeldElsewhere:
        *why = HeldBy(holder, fs::u8path(shown));
        return kExitInUse;
    case LockOutcome::Failed:
        break;
    }
    return kExitNoInput;
}

void AdmitCard(Card* card, const char* command, bool anyVolume)
{
    std::lock_guard<std::mutex> guard(card->lock);
    std::string why;
    card->code = LockCard(card->root, card->shown, command, &card->folderLock, &why);
    if (card->code == 0) {
        if (!anyVolume) RefuseUnlessFat(card);
        return;
    }
    card->verdict = card->code == kExitInUse ? "NOT GOOD: " + why + "; card untouched"
                                             : "NOT GOOD: cannot open the card " + card->shown + ": " + why;
    card->finished = true;
}

void WriteCard(Card* card, const PackagePlan& package) { CardWriter(card, package).Run(); }


} // namespace tool
