#include "Package.h"

#include <algorithm>
#include <cerrno>
#include <map>

#include "Manifest.h"
#include "Words.h"
#include "Names.h"
#include "ToolPlatform.h"
#include "Transfer.h"
#include "TreePath.h"
#include "Walk.h"

namespace fs = std::filesystem;

namespace tool {

namespace {

bool CanOpen(const WCHAR* path)
{
    FILE* file = _wfopen(path, TEXT("rb"));
    if (file) fclose(file);
    return file != nullptr;
}

// What the next install does with a read-only copy: the job cannot delete
// it, and a file deeper down also keeps its folder.
std::string ReadOnlyHazard(const Step& step)
{
    const std::string code = StatusName(step.depth > 0 ? STATUS_REMOVE_DIR_FAILED : STATUS_DELETE_FAILED);
    return "read-only: this install works and copies it with its read-only attribute, but the next install "
           "cannot delete that copy when it clears MassStorage and ends with " + code;
}

// An entry that is no regular file, as the walk looked at it; empty for a file.
std::string NotAFile(EntryKind kind)
{
    switch (kind) {
    case EntryKind::File:
        return std::string();
    case EntryKind::Link:
        return "a symbolic link: the device's job never follows links and would fail to copy it (5)";
    case EntryKind::Fifo:
        return "neither a file nor a folder (a FIFO), not opened";
    case EntryKind::Socket:
        return "neither a file nor a folder (a socket), not opened";
    case EntryKind::Device:
        return "neither a file nor a folder (a device), not opened";
    case EntryKind::Missing:
        return "cannot be looked at (" + LastErrorText() + ")";
    case EntryKind::Folder:
        break;
    }
    return "a folder where the walk met a file";
}

// FAT's limits (Microsoft's published FAT on-disk format, "FAT: General
// Overview of On-Disk Format"): a file's size is a 32-bit count; a folder
// holds at most 65,536 directory entries; a FAT16 volume's root, which
// MassStorage is on the device, has a fixed 512.
const uint64_t kFatLargestFile = 0xFFFFFFFFull;
const uint64_t kFatFolderEntries = 65536;
const uint64_t kFat16RootEntries = 512;

DeviceString KeyOf(const Step& step) { return FoldedName(step.path->text + step.baseLength); }

} // namespace

std::string Shown(const fs::path& path)
{
    if (path.empty()) return ".";
    fs::path shown = path;
    return PathText(shown.make_preferred());
}

fs::path NormalFolder(const fs::path& folder)
{
    std::error_code ignored;
    fs::path normal = fs::absolute(folder, ignored).lexically_normal();
    if (!normal.has_filename() && normal != normal.root_path()) normal = normal.parent_path();
    return normal;
}

fs::path FolderOnDisk(const DeviceString& devicePath)
{
    fs::path onDisk;
    for (size_t end = 0; end != DeviceString::npos;) {
        end = devicePath.find(TEXT('\\'), end + 1);
        WIN32_FIND_DATAW record;
        HANDLE probe = FindFirstFileW(devicePath.substr(0, end).c_str(), &record);
        if (probe == INVALID_HANDLE_VALUE) return fs::path();
        FindClose(probe);
        if (!IsFolderEntry(&record)) return fs::path();
        const fs::path host = HostPathOf(record.cFileName);
        onDisk /= host.empty() ? fs::path("(unprintable name)") : host;
    }
    return onDisk;
}

namespace {

// The walk of CheckPackage: each entry against the device's limits, as the
// job would meet it.
class PackageChecker {
public:
    PackageChecker(const DeviceString& folder, const FileReader& reader)
        : base_(folder.empty() ? fs::path() : FolderOnDisk(folder)), reader_(reader)
    {
        KindOnDisk(base_.empty() ? fs::path(".") : base_, &fileSystem_);
    }

    bool Visit(const Step& step)
    {
        const bool badName = CheckName(step);
        if (!PathsFit(step)) return false;
        if (!step.named) {
            Find(kExitNotForACard, step.shown, "its path is too long to read");
            return false;
        }
        uint64_t fileSystem = 0;
        const EntryKind kind = KindOnDisk(base_ / step.relative, &fileSystem);
        if (step.folder) {
            if (fileSystem != fileSystem_ && fileSystem != 0 && fileSystem_ != 0) {
                Find(kExitNotForACard, step.shown,
                     "a folder on another file system (a mount point), not walked: a card is one volume");
                return false;
            }
            ++check_.folders;
            Record(step, 0);
            return true;
        }
        // Windows cannot look at some names a Linux host wrote (a trailing
        // dot, a ":"): the name's own finding says enough, one line a name.
        if (!(badName && kind == EntryKind::Missing)) CheckFile(step, kind);
        return false;
    }

    // After a folder's entries: FAT's entry limits and short names in it.
    void FolderDone(const Step& step)
    {
        const DeviceString key = step.relative.empty() ? DeviceString() : KeyOf(step);
        Folder& folder = folders_[key];
        const bool root = step.relative.empty();
        // "." and ".." take two entries in every folder but a volume's root.
        const uint64_t entries = folder.entries + (root ? 0 : 2);
        const std::string where = root ? std::string("the package's root (MassStorage on the device)") : step.shown;
        if (entries > kFatFolderEntries)
            Find(kExitNotForACard, where,
                 "its names take " + std::to_string(entries) +
                     " FAT directory entries (one for an upper-case 8.3 name, else one for each 13 UTF-16 units of "
                     "a name, plus one), over the 65,536 a FAT folder holds");
        else if (root && entries > kFat16RootEntries)
            Find(kExitNotForACard, where,
                 "its names take " + std::to_string(entries) +
                     " FAT directory entries, over the 512 of a FAT16 volume's root, where MassStorage is on the "
                     "device (FAT32 roots have no such limit)");
        for (const auto& [shortName, entry] : folder.shortNames) {
            const auto clash = folder.folded.find(FoldedName(shortName.c_str()));
            if (clash != folder.folded.end() && clash->second != entry)
                Find(kExitNotForACard, clash->second + " and " + entry,
                     "FAT gives the second the short name of the first, so the device finds both as one file");
        }
        folders_.erase(key);
    }

    void Find(int code, const std::string& shown, const std::string& why)
    {
        check_.findings.push_back(Finding{code, (shown.empty() ? std::string(".") : shown) + ": " + why});
    }

    PackageCheck Finish() { return check_; }

private:
    // One folder's names, as its FAT directory will hold them.
    struct Folder {
        uint64_t entries = 0;
        std::map<DeviceString, std::string> folded; // folded long name -> entry shown
        std::vector<std::pair<DeviceString, std::string>> shortNames;
    };

    void Record(const Step& step, uint64_t bytes)
    {
        TreeEntry entry;
        entry.key = KeyOf(step);
        entry.host = base_ / step.relative;
        entry.shown = step.shown;
        entry.folder = step.folder;
        entry.bytes = bytes;
        entry.entries = DirectoryEntries(step.name);
        check_.tree.push_back(entry);
    }

    // True when the name has a finding of its own.
    bool CheckName(const Step& step)
    {
        const DeviceString name(step.name);
        const std::vector<std::string> problems = NameProblems(name);
        if (!problems.empty()) {
            std::string why = "a card cannot hold this name: it " + problems.front();
            for (size_t i = 1; i < problems.size(); ++i) why += "; it " + problems[i];
            Find(kExitNotForACard, step.shown, why);
        }
        const DeviceString parent(step.path->text + step.baseLength,
                                  step.folderLength > step.baseLength ? step.folderLength - step.baseLength : 0);
        Folder& folder = folders_[FoldedName(parent.c_str())];
        folder.entries += DirectoryEntries(name);
        const auto first = folder.folded.emplace(FoldedName(step.name), step.shown);
        if (!first.second)
            Find(kExitNotForACard, first.first->second + " and " + step.shown,
                 "names that differ only in letter case; a card holds only one of them");
        const DeviceString shortName = ShortNameOf(name);
        if (!shortName.empty()) folder.shortNames.emplace_back(shortName, step.shown);
        return !problems.empty();
    }

    // Named as the copy names it on the device, and checked as it checks it.
    bool PathsFit(const Step& step)
    {
        const DeviceString within = step.folderLength > step.baseLength
                                        ? DeviceString(step.path->text + step.baseLength,
                                                       step.path->text + step.folderLength)
                                        : DeviceString();
        TreePath target;
        TreePath source;
        SetTreePath(&target, kTargetFolder);
        SetTreePath(&source, kPackageFolder);
        if (!within.empty()) {
            AppendTreeName(&target, within.c_str());
            AppendTreeName(&source, within.c_str());
        }
        const bool targetFits = step.folder ? AppendTreeEntry(&target, step.name, true)
                                            : AppendTreeName(&target, step.name);
        const bool sourceFits = AppendTreeEntry(&source, step.name, step.folder);
        if (targetFits && sourceFits) return true;
        // Named by the longer of the two, the package's path on the card.
        DeviceString longest = sourceFits ? kTargetFolder : kPackageFolder;
        longest += TEXT('\\');
        if (!within.empty()) longest += within + TEXT('\\');
        longest += step.name;
        if (step.folder) longest += kSearchAllSuffix;
        const int code = step.folder ? STATUS_CREATE_DIR_FAILED : STATUS_COPY_FAILED;
        Find(code, step.shown,
             std::string(step.folder ? "its search pattern" : "its path") +
                 (sourceFits ? " in MassStorage" : " on the card") + " would take " + std::to_string(longest.size()) +
                 " UTF-16 units, over the device's " + std::to_string(MAX_PATH - 1) + "; the job would end with " +
                 StatusName(code));
        return false;
    }

    void CheckFile(const Step& step, EntryKind kind)
    {
        // Looked at before it is opened: a FIFO would block, a device read forever.
        const std::string notAFile = NotAFile(kind);
        if (!notAFile.empty()) {
            Find(kExitNotForACard, step.shown, notAFile);
            return;
        }
        // Windows opens such a name as the device: never opened, never summed.
        if (IsReservedDeviceName(step.name)) return;
        uint16_t fileSum = 0;
        bool readable = reader_ && reader_(base_ / step.relative, step.relative, &fileSum);
        if (IsSummedFileName(step.name)) {
            if (!reader_) {
                fileSum = SumFileBytes(step.path->text);
                // 0 is also the sum of a file that cannot be opened: tell them apart.
                readable = fileSum != 0 || CanOpen(step.path->text);
            }
            if (readable) {
                check_.sum = static_cast<uint16_t>(check_.sum + fileSum);
                ++check_.summedFiles;
            }
        } else {
            if (!reader_) readable = CanOpen(step.path->text);
            if (readable) ++check_.otherFiles;
            if (readable && step.depth > 0) check_.otherBelowTheRoot.push_back(step.shown);
        }
        if (!readable) {
            Find(kExitNotForACard, step.shown, "cannot be read (" + LastErrorText() + ")");
            return;
        }
        if (step.readOnly) Find(kExitNotForACard, step.shown, ReadOnlyHazard(step));
        std::error_code error;
        const uintmax_t bytes = fs::file_size(base_ / step.relative, error);
        if (error) return;
        check_.bytes += bytes;
        Record(step, bytes);
        if (bytes > kFatLargestFile)
            Find(kExitNotForACard, step.shown,
                 "holds " + std::to_string(bytes) + " bytes; a FAT volume holds files of at most 4 GiB - 1 byte");
    }

    const fs::path base_;
    const FileReader& reader_;
    uint64_t fileSystem_ = 0;
    PackageCheck check_;
    std::map<DeviceString, Folder> folders_; // by folded path, while the walk is in them
};

} // namespace

uint64_t TreeBytes(const std::vector<TreeEntry>& tree)
{
    uint64_t bytes = 0;
    for (const TreeEntry& entry : tree) bytes += entry.bytes;
    return bytes;
}

uint64_t TreeFiles(const std::vector<TreeEntry>& tree)
{
    uint64_t files = 0;
    for (const TreeEntry& entry : tree) files += entry.folder ? 0 : 1;
    return files;
}

uint64_t AllocatedBytes(const std::vector<TreeEntry>& tree, uint64_t clusterBytes)
{
    if (clusterBytes == 0) return TreeBytes(tree);
    const auto clusters = [clusterBytes](uint64_t count) { return (count + clusterBytes - 1) / clusterBytes; };
    // Each folder's entries by its folded path; the tree's own folder is "",
    // as MassStorage a folder of its own on the card.
    std::map<DeviceString, uint64_t> folderEntries = {{DeviceString(), 0}};
    uint64_t total = 0;
    for (const TreeEntry& entry : tree) {
        const size_t slash = entry.key.rfind(TEXT('\\'));
        folderEntries[slash == DeviceString::npos ? DeviceString() : entry.key.substr(0, slash)] += entry.entries;
        if (entry.folder) folderEntries.emplace(entry.key, 2); // "." and ".."
        else total += clusters(entry.bytes);
    }
    for (const auto& folder : folderEntries) total += folder.second ? clusters(folder.second * 32) : 1;
    return total * clusterBytes;
}

PackageCheck CheckPackage(const DeviceString& folder, const FileReader& reader)
{
    PackageChecker checker(folder, reader);
    WalkCalls calls;
    calls.entry = [&](const Step& step) { return checker.Visit(step); };
    calls.folderDone = [&](const Step& step) { checker.FolderDone(step); };
    calls.trouble = [&](const std::string& shown, const std::string& why) {
        checker.Find(kExitNotForACard, shown, why);
    };
    Walk(folder, calls);
    return checker.Finish();
}

int WorstFinding(const PackageCheck& check)
{
    for (const Finding& finding : check.findings)
        if (finding.code == kExitNotForACard) return kExitNotForACard;
    return check.findings.empty() ? 0 : check.findings.front().code;
}

bool ReadPackageChecksum(const DeviceString& folder, uint32_t* value)
{
    TreePath path;
    if (folder.empty()) SetTreePath(&path, kChecksumFileName);
    else if (!SetTreePath(&path, folder.c_str()) || !AppendTreeName(&path, kChecksumFileName)) return false;
    return ReadChecksumFile(path.text, value);
}

bool WritePackageChecksum(uint16_t sum, std::string* why)
{
    // As the manifest: a new file, flushed, renamed over the old one, which
    // keeps the letter case it has; a read-only one is refused, as Win32's
    // _wfopen refuses it.
    fs::path file = HostPathOf(kChecksumFileName);
    WIN32_FIND_DATAW record;
    HANDLE probe = FindFirstFileW(kChecksumFileName, &record);
    if (probe != INVALID_HANDLE_VALUE) {
        FindClose(probe);
        file = HostPathOf(record.cFileName);
        if (record.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
            errno = 0;
            SetLastError(ERROR_ACCESS_DENIED);
            *why = LastErrorText();
            return false;
        }
    }
    char text[8];
    snprintf(text, sizeof text, "%X\r\n", static_cast<unsigned>(sum));
    return WriteManifestFile(file, text, why);
}

std::vector<TreeEntry> ListTree(const DeviceString& folder, std::string* unlisted)
{
    std::vector<TreeEntry> entries;
    const fs::path base = FolderOnDisk(folder);
    if (base.empty()) return entries;
    const auto notWhole = [unlisted](const std::string& why) {
        if (unlisted && unlisted->empty()) *unlisted = why;
    };
    WalkCalls calls;
    calls.entry = [&](const Step& step) {
        if (!step.named) {
            notWhole("entries " + Plural(step.depth + 1, "level", "levels") + " down have paths over the device's " +
                     std::to_string(MAX_PATH - 1) + " UTF-16 units");
            return false;
        }
        std::error_code error;
        TreeEntry entry;
        entry.key = KeyOf(step);
        entry.host = base / step.relative;
        entry.shown = step.shown;
        entry.folder = step.folder;
        entry.entries = DirectoryEntries(step.name);
        entry.bytes = step.folder ? 0 : fs::file_size(entry.host, error);
        if (error) {
            if (!step.folder) return false; // gone since the walk met it, or no file
            entry.bytes = 0;
        }
        entries.push_back(entry);
        return true;
    };
    calls.trouble = [&](const std::string& shown, const std::string& why) {
        // A stale tree too deep for the device is named by its depth.
        const size_t levels = 1 + static_cast<size_t>(std::count(shown.begin(), shown.end(),
                                                                 static_cast<char>(fs::path::preferred_separator)));
        notWhole((shown.empty() ? std::string(".")
                  : shown.size() <= 60 ? shown
                                       : "the folder " + Plural(levels, "level", "levels") + " down") +
                 ": " + why);
    };
    Walk(folder, calls);
    return entries;
}

} // namespace tool
