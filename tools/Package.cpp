#include "Package.h"

#include <cerrno>
#include <functional>
#include <map>

#include "JobStatusText.h"
#include "ToolPlatform.h"
#include "Transfer.h"
#include "TreePath.h"

namespace fs = std::filesystem;

namespace tool {

namespace {

const WCHAR kSearchAll[] = TEXT("*.*");

// An entry as the walk meets it.
struct Step {
    const TreePath* path; // its device path
    size_t baseLength;    // units of the walked folder's path, with its "\"
    size_t folderLength;  // units of its own folder's path
    const WCHAR* name;
    bool named; // path holds the entry; else only its folder (the entry's path is too long)
    bool folder;
    bool readOnly; // the find record's read-only attribute
    size_t depth;
    fs::path relative; // below the walked folder, names as stored
};

using Visit = std::function<bool(const Step&)>; // true: walk into the folder
using Trouble = std::function<void(const fs::path& relative, const std::string& why)>;

fs::path HostName(const WCHAR* name)
{
    const fs::path host = HostPathOf(name);
    return host.empty() ? fs::path("(unprintable name)") : host;
}

// Below the device root the walk names entries without a leading "\".
bool AppendName(TreePath* path, const WCHAR* name)
{
    return path->length == 0 ? AppendTreeText(path, name) : AppendTreeName(path, name);
}

// One level of the job's walk: the same buffers at every level.
void WalkFolder(TreePath* path, WIN32_FIND_DATAW* record, Step* step, const Visit& visit, const Trouble& trouble)
{
    const size_t length = path->length;
    const fs::path relative = step->relative;
    HANDLE search = INVALID_HANDLE_VALUE;
    errno = 0;
    if (length == 0) {
        search = FindFirstEntry(kSearchAll, record);
    } else if (AppendTreeText(path, kSearchAllSuffix)) {
        search = FindFirstEntry(path->text, record);
        TruncateTreePath(path, length);
    }
    if (search == INVALID_HANDLE_VALUE) {
        // An empty folder has no first entry; on Windows its "." and ".." run out.
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES)
            trouble(relative, "cannot read the folder: " + LastErrorText());
        return;
    }
    const size_t depth = step->depth;
    do {
        const bool folder = IsFolderEntry(record);
        const fs::path entry = relative / HostName(record->cFileName);
        const bool named = AppendName(path, record->cFileName);
        step->path = path;
        step->named = named;
        step->folderLength = length;
        step->name = record->cFileName;
        step->folder = folder;
        step->readOnly = (record->dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
        step->depth = depth;
        step->relative = entry;
        if (visit(*step) && folder && named) {
            step->depth = depth + 1;
            WalkFolder(path, record, step, visit, trouble);
        }
        TruncateTreePath(path, length);
        errno = 0;
    } while (FindNextEntry(search, record));
    if (GetLastError() != ERROR_NO_MORE_FILES) trouble(relative, "cannot read the folder: " + LastErrorText());
    FindClose(search);
}

void Walk(const DeviceString& folder, const Visit& visit, const Trouble& trouble)
{
    TreePath path;
    WIN32_FIND_DATAW record;
    Step step = {};
    if (!SetTreePath(&path, folder.c_str())) {
        trouble(fs::path(), "its path is too long to walk");
        return;
    }
    step.baseLength = folder.empty() ? 0 : folder.size() + 1;
    WalkFolder(&path, &record, &step, visit, trouble);
}

bool CanOpen(const WCHAR* path)
{
    FILE* file = _wfopen(path, TEXT("rb"));
    if (file) fclose(file);
    return file != nullptr;
}

// What no FAT volume takes in a long name; empty when the name is fine.
template <typename Char>
std::string ForbiddenInName(const std::basic_string<Char>& name)
{
    for (Char c : name) {
        if (c >= 0 && c < 0x20) return "holds a control character";
        for (const char* forbidden = "\\/:*?\"<>|"; *forbidden; ++forbidden)
            if (c == static_cast<Char>(*forbidden)) return std::string("holds \"") + *forbidden + "\"";
    }
    if (!name.empty() && name.back() == static_cast<Char>('.')) return "ends in a dot";
    if (!name.empty() && name.back() == static_cast<Char>(' ')) return "ends in a space";
    return std::string();
}

// Why a package file the device could not copy cannot be read here.
std::string Unreadable(const fs::path& host, const std::string& why)
{
    std::error_code error;
    const fs::file_status entry = fs::symlink_status(host, error);
    if (fs::is_symlink(entry))
        return "a symbolic link: the device's job never follows links and would fail to copy it (5)";
    if (fs::is_fifo(entry)) return "neither a file nor a folder (a FIFO)";
    if (fs::is_socket(entry)) return "neither a file nor a folder (a socket)";
    if (fs::is_block_file(entry) || fs::is_character_file(entry))
        return "neither a file nor a folder (a device)";
    return "cannot be read (" + why + ")";
}

// What the next install does with a read-only copy: the job cannot delete
// it, and a file deeper down also keeps its folder.
std::string ReadOnlyHazard(const fs::path& relative)
{
    const std::string code = StatusName(relative.has_parent_path() ? STATUS_REMOVE_DIR_FAILED : STATUS_DELETE_FAILED);
    return "read-only: this install works and copies it with its read-only attribute, but the next install "
           "cannot delete that copy when it clears MassStorage and ends with " + code;
}

// FAT's limits (Microsoft's FAT specification, "FAT: General Overview of
// On-Disk Format"): a file's size is a 32-bit count; a folder holds at most
// 65,536 directory entries; a FAT16 volume's root, which MassStorage is on
// the device, has a fixed 512.
const uint64_t kFatLargestFile = 0xFFFFFFFFull;
const uint64_t kFatFolderEntries = 65536;
const uint64_t kFat16RootEntries = 512;

// The short name Windows and FAT drivers give a long name first ("~1"), in
// upper case; empty when the name is an 8.3 name itself.
DeviceString ShortNameOf(const DeviceString& name)
{
    const size_t dot = name.rfind(TEXT('.'));
    const bool hasExtension = dot != DeviceString::npos && dot != 0;
    const DeviceString base = hasExtension ? name.substr(0, dot) : name;
    const DeviceString extension = hasExtension ? name.substr(dot + 1) : DeviceString();
    bool lossy = false;
    const auto shorten = [&lossy](const DeviceString& part) {
        DeviceString kept;
        for (WCHAR unit : part) {
            if (unit == TEXT(' ') || unit == TEXT('.')) {
                lossy = true;
                continue;
            }
            if (unit >= TEXT('a') && unit <= TEXT('z')) {
                unit = static_cast<WCHAR>(unit - TEXT('a') + TEXT('A'));
            } else if (unit > 0x7F || DeviceString(TEXT("+,;=[]")).find(unit) != DeviceString::npos) {
                unit = TEXT('_');
                lossy = true;
            }
            kept += unit;
        }
        return kept;
    };
    DeviceString shortBase = shorten(base);
    const DeviceString shortExtension = shorten(extension);
    if (shortBase.size() > 8 || shortExtension.size() > 3) lossy = true;
    if (!lossy || shortBase.empty()) return DeviceString();
    shortBase = shortBase.substr(0, 6) + TEXT("~1");
    return shortExtension.empty() ? shortBase : shortBase + TEXT('.') + shortExtension.substr(0, 3);
}

} // namespace

std::string StatusName(int32_t status)
{
    for (const JobStatusText& text : kJobStatusTexts)
        if (text.code == status) return std::to_string(status) + " " + text.name;
    return std::to_string(status) + " UNKNOWN";
}

std::string Shown(const fs::path& path)
{
    if (path.empty()) return ".";
    fs::path shown = path;
    return shown.make_preferred().u8string();
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
        onDisk /= HostName(record.cFileName);
    }
    return onDisk;
}

namespace {

// The walk of CheckPackage: each entry against the device's limits, as the
// job would meet it.
class PackageChecker {
public:
    explicit PackageChecker(const DeviceString& folder)
        : base_(folder.empty() ? fs::path() : FolderOnDisk(folder))
    {
    }

    bool Visit(const Step& step)
    {
        CheckName(step);
        if (!PathsFit(step)) return false;
        if (!step.named) {
            Find(kExitNotForACard, step.relative, "its path is too long to read");
            return false;
        }
        if (step.folder) {
            ++check_.folders;
            return true;
        }
        CheckFile(step);
        return false;
    }

    void Find(int code, const fs::path& relative, const std::string& why)
    {
        check_.findings.push_back(Finding{code, Shown(relative) + ": " + why});
    }

    PackageCheck Finish()
    {
        CheckFolders();
        return check_;
    }

private:
    // One folder's names, as its FAT directory will hold them.
    struct Folder {
        uint64_t entries = 0;
        std::map<DeviceString, fs::path> folded; // folded long name -> entry
        std::vector<std::pair<DeviceString, fs::path>> shortNames;
    };

    void CheckName(const Step& step)
    {
        const std::string forbidden = ForbiddenInName(step.relative.filename().native());
        if (!forbidden.empty()) Find(kExitNotForACard, step.relative, "a card cannot hold this name: it " + forbidden);
        names_.resize(step.depth + 1);
        const auto first = names_[step.depth].emplace(FoldedName(step.name), step.relative);
        if (!first.second)
            check_.findings.push_back(Finding{kExitNotForACard, Shown(first.first->second) + " and " +
                                                                    Shown(step.relative) +
                                                                    ": names that differ only in letter case; a "
                                                                    "card holds only one of them"});
        Folder& folder = folders_[step.relative.parent_path()];
        const DeviceString name(step.name);
        folder.entries += DirectoryEntries(name.size());
        folder.folded.emplace(FoldedName(step.name), step.relative);
        const DeviceString shortName = ShortNameOf(name);
        if (!shortName.empty()) folder.shortNames.emplace_back(shortName, step.relative);
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
        const bool targetFits = AppendTreeName(&target, step.name);
        const bool sourceFits = AppendTreeEntry(&source, step.name, step.folder);
        if (targetFits && sourceFits) return true;
        // Named by the longer of the two, the package's path on the card.
        DeviceString longest = sourceFits ? kTargetFolder : kPackageFolder;
        longest += TEXT('\\');
        if (!within.empty()) longest += within + TEXT('\\');
        longest += step.name;
        if (step.folder) longest += kSearchAllSuffix;
        const int code = step.folder ? STATUS_CREATE_DIR_FAILED : STATUS_COPY_FAILED;
        Find(code, step.relative,
             std::string(step.folder ? "its search pattern" : "its path") +
                 (sourceFits ? " in MassStorage" : " on the card") + " would take " + std::to_string(longest.size()) +
                 " UTF-16 units, over the device's " + std::to_string(MAX_PATH - 1) + "; the job would end with " +
                 StatusName(code));
        return false;
    }

    void CheckFile(const Step& step)
    {
        const fs::path host = base_ / step.relative;
        bool readable;
        if (IsSummedFileName(step.name)) {
            const uint16_t fileSum = SumFileBytes(step.path->text);
            // 0 is also the sum of a file that cannot be opened: tell them apart.
            readable = fileSum != 0 || CanOpen(step.path->text);
            if (readable) {
                check_.sum = static_cast<uint16_t>(check_.sum + fileSum);
                ++check_.summedFiles;
            }
        } else {
            readable = CanOpen(step.path->text);
            if (readable) ++check_.otherFiles;
            if (readable && step.depth > 0) check_.otherBelowTheRoot.push_back(step.relative);
        }
        if (!readable) {
            Find(kExitNotForACard, step.relative, Unreadable(host, LastErrorText()));
            return;
        }
        if (step.readOnly) Find(kExitNotForACard, step.relative, ReadOnlyHazard(step.relative));
        std::error_code error;
        const uintmax_t bytes = fs::file_size(host, error);
        if (error) return;
        check_.bytes += bytes;
        check_.fileBytes.push_back(bytes);
        if (bytes > kFatLargestFile)
            Find(kExitNotForACard, step.relative,
                 "holds " + std::to_string(bytes) + " bytes; a FAT volume holds files of at most 4 GiB - 1 byte");
    }

    // Once every folder's names are known: FAT's entry limits and short names.
    void CheckFolders()
    {
        for (const auto& [relative, folder] : folders_) {
            const bool root = relative.empty();
            // "." and ".." take two entries in every folder but a volume's root.
            const uint64_t entries = folder.entries + (root ? 0 : 2);
            check_.folderEntries.push_back(entries);
            const std::string where = root ? std::string("the package's root (MassStorage on the device)")
                                           : Shown(relative);
            if (entries > kFatFolderEntries)
                check_.findings.push_back(Finding{kExitNotForACard, where + ": its names take " + std::to_string(entries) +
                                                                        " FAT directory entries (one for each 13 "
                                                                        "UTF-16 units of a name, plus one), over "
                                                                        "the 65,536 a FAT folder holds"});
            else if (root && entries > kFat16RootEntries)
                check_.findings.push_back(Finding{kExitNotForACard, where + ": its names take " + std::to_string(entries) +
                                                                        " FAT directory entries, over the 512 of a "
                                                                        "FAT16 volume's root, where MassStorage is "
                                                                        "on the device (FAT32 roots have no such "
                                                                        "limit)"});
            for (const auto& [shortName, entry] : folder.shortNames) {
                const auto clash = folder.folded.find(FoldedName(shortName.c_str()));
                if (clash != folder.folded.end() && clash->second != entry)
                    check_.findings.push_back(Finding{kExitNotForACard, Shown(clash->second) + " and " + Shown(entry) +
                                                                            ": FAT gives the second the short name "
                                                                            "of the first, so the device finds both "
                                                                            "as one file"});
            }
        }
    }

    const fs::path base_;
    PackageCheck check_;
    std::vector<std::map<DeviceString, fs::path>> names_; // per level of the walk
    std::map<fs::path, Folder> folders_;
};

} // namespace

uint64_t DirectoryEntries(size_t nameUnits) { return 1 + (nameUnits + 12) / 13; }

uint64_t AllocatedBytes(const PackageCheck& check, uint64_t clusterBytes)
{
    if (clusterBytes == 0) return check.bytes;
    const auto clusters = [clusterBytes](uint64_t bytes) { return (bytes + clusterBytes - 1) / clusterBytes; };
    uint64_t total = 0;
    for (uint64_t bytes : check.fileBytes) total += clusters(bytes);
    // The package's root becomes MassStorage, a folder of its own on the card.
    for (uint64_t entries : check.folderEntries) total += clusters(entries * 32) + (entries ? 0 : 1);
    return total * clusterBytes;
}

PackageCheck CheckPackage(const DeviceString& folder)
{
    PackageChecker checker(folder);
    Walk(folder, [&](const Step& step) { return checker.Visit(step); },
         [&](const fs::path& relative, const std::string& why) { checker.Find(kExitNotForACard, relative, why); });
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
    errno = 0;
    FILE* file = _wfopen(kChecksumFileName, TEXT("wb"));
    if (!file) {
        *why = LastErrorText();
        return false;
    }
    const bool written = fprintf(file, "%X\r\n", static_cast<unsigned>(sum)) > 0;
    errno = 0;
    if (fclose(file) != 0 || !written) {
        *why = LastErrorText();
        return false;
    }
    return true;
}

std::vector<TreeEntry> ListTree(const DeviceString& folder)
{
    std::vector<TreeEntry> entries;
    const fs::path base = FolderOnDisk(folder);
    if (base.empty()) return entries;
    Walk(
        folder,
        [&](const Step& step) {
            if (!step.named) return false;
            std::error_code error;
            TreeEntry entry;
            entry.key = FoldedName(step.path->text + step.baseLength);
            entry.host = base / step.relative;
            entry.folder = step.folder;
            entry.nameUnits = DeviceString(step.name).size();
            entry.bytes = step.folder ? 0 : fs::file_size(entry.host, error);
            if (error) entry.bytes = 0;
            entries.push_back(entry);
            return true;
        },
        [](const fs::path&, const std::string&) {});
    return entries;
}

} // namespace tool
