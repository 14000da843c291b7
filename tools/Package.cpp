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
    if (fs::is_symlink(entry)) {
        if (fs::is_directory(fs::status(host, error))) return "a link to a folder; a card holds only files and folders";
        return "a link the device could not follow (" + why + ")";
    }
    if (fs::is_fifo(entry)) return "neither a file nor a folder (a FIFO)";
    if (fs::is_socket(entry)) return "neither a file nor a folder (a socket)";
    if (fs::is_block_file(entry) || fs::is_character_file(entry))
        return "neither a file nor a folder (a device)";
    return "cannot be read (" + why + ")";
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

PackageCheck CheckPackage(const DeviceString& folder)
{
    PackageCheck check;
    const fs::path base = folder.empty() ? fs::path() : FolderOnDisk(folder);
    // Per level of the walk: each folded name and the entry that has it.
    std::vector<std::map<DeviceString, fs::path>> names;
    const auto find = [&](int code, const fs::path& relative, const std::string& why) {
        check.findings.push_back(Finding{code, Shown(relative) + ": " + why});
    };
    const auto visit = [&](const Step& step) -> bool {
        const std::string forbidden = ForbiddenInName(step.relative.filename().native());
        if (!forbidden.empty()) find(kExitNotForACard, step.relative, "a card cannot hold this name: it " + forbidden);
        names.resize(step.depth + 1);
        const auto first = names[step.depth].emplace(FoldedName(step.name), step.relative);
        if (!first.second)
            check.findings.push_back(Finding{kExitNotForACard, Shown(first.first->second) + " and " +
                                                                   Shown(step.relative) +
                                                                   ": names that differ only in letter case; a "
                                                                   "card holds only one of them"});

        // Named as the copy names it on the device, and checked as it checks it.
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
        if (!targetFits || !sourceFits) {
            // Named by the longer of the two, the package's path on the card.
            DeviceString longest = sourceFits ? kTargetFolder : kPackageFolder;
            longest += TEXT('\\');
            if (!within.empty()) longest += within + TEXT('\\');
            longest += step.name;
            if (step.folder) longest += kSearchAllSuffix;
            const int code = step.folder ? STATUS_CREATE_DIR_FAILED : STATUS_COPY_FAILED;
            find(code, step.relative,
                 std::string(step.folder ? "its search pattern" : "its path") + (sourceFits ? " in MassStorage" : " on the card") +
                     " would take " + std::to_string(longest.size()) + " UTF-16 units, over the device's " +
                     std::to_string(MAX_PATH - 1) + "; the job would end with " + StatusName(code));
            return false;
        }

        if (!step.named) {
            find(kExitNotForACard, step.relative, "its path is too long to read");
            return false;
        }
        if (step.folder) {
            ++check.folders;
            return true;
        }
        std::error_code error;
        const fs::path host = base / step.relative;
        bool readable;
        if (IsSummedFileName(step.name)) {
            const uint16_t fileSum = SumFileBytes(step.path->text);
            // 0 is also the sum of a file that cannot be opened: tell them apart.
            readable = fileSum != 0 || CanOpen(step.path->text);
            if (readable) {
                check.sum = static_cast<uint16_t>(check.sum + fileSum);
                ++check.summedFiles;
            }
        } else {
            readable = CanOpen(step.path->text);
            if (readable) ++check.otherFiles;
        }
        if (!readable) {
            find(kExitNotForACard, step.relative, Unreadable(host, LastErrorText()));
            return false;
        }
        const uintmax_t bytes = fs::file_size(host, error);
        if (!error) check.bytes += bytes;
        return false;
    };
    Walk(folder, visit, [&](const fs::path& relative, const std::string& why) {
        find(kExitNotForACard, relative, why);
    });
    return check;
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
            entry.bytes = step.folder ? 0 : fs::file_size(entry.host, error);
            if (error) entry.bytes = 0;
            entries.push_back(entry);
            return true;
        },
        [](const fs::path&, const std::string&) {});
    return entries;
}

} // namespace tool
