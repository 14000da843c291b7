#include "PackageSum.h"

#include "Transfer.h"
#include "TreePath.h"

namespace {

// The device names a package entry "SDMMC\PreDLMap\" + its path here, the
// longest of the names the job composes for it.
const size_t kDevicePrefixUnits = sizeof kPackageFolder / sizeof kPackageFolder[0]; // with its "\"
const size_t kPatternSuffixUnits = sizeof kSearchAllSuffix / sizeof kSearchAllSuffix[0] - 1;

std::string HostName(const std::u16string& devicePath)
{
    char host[1024];
    if (devicePath.empty()) return ".";
    if (HostPathFromDevice(devicePath.c_str(), host, sizeof host) < 0) return "(unprintable name)";
    return host;
}

bool CanOpen(const std::u16string& path)
{
    FILE* file = _wfopen(path.c_str(), u"rb");
    if (file) fclose(file);
    return file != nullptr;
}

void WalkFolder(std::u16string& path, PackageSum& result)
{
    const size_t length = path.size();
    const std::u16string pattern = path.empty() ? std::u16string(u"*.*") : path + kSearchAllSuffix;
    WIN32_FIND_DATAW record;
    HANDLE search = FindFirstEntry(pattern.c_str(), &record);
    if (search == INVALID_HANDLE_VALUE) {
        // An empty folder has no first entry; anything else is a read error.
        if (GetLastError() != ERROR_FILE_NOT_FOUND) result.error = "cannot read the folder " + HostName(path);
        return;
    }
    do {
        path.resize(length);
        if (!path.empty()) path += u'\\';
        path += record.cFileName;
        const bool folder = IsFolderEntry(&record);
        if (kDevicePrefixUnits + path.size() + (folder ? kPatternSuffixUnits : 0) >= MAX_PATH) {
            result.error = "the path " + HostName(path) + " is too long for the device (" +
                           std::to_string(MAX_PATH - 1) + " UTF-16 units below the card's root)";
            break;
        }
        if (folder) {
            ++result.folders;
            WalkFolder(path, result);
            continue;
        }
        if (IsSummedFileName(record.cFileName)) {
            const uint16_t fileSum = SumFileBytes(path.c_str());
            // SumFileBytes gives 0 for a file it cannot open, and the device
            // could not copy such a file: tell the two apart.
            if (fileSum == 0 && !CanOpen(path)) {
                result.error = "cannot read the file " + HostName(path);
                break;
            }
            result.sum = static_cast<uint16_t>(result.sum + fileSum);
            ++result.summedFiles;
        } else {
            if (!CanOpen(path)) {
                result.error = "cannot read the file " + HostName(path);
                break;
            }
            ++result.otherFiles;
        }
    } while (result.error.empty() && FindNextEntry(search, &record));
    if (result.error.empty() && GetLastError() != ERROR_NO_MORE_FILES)
        result.error = "cannot read the folder " + HostName(path.substr(0, length));
    FindClose(search);
    path.resize(length);
}

} // namespace

std::string FolderOnDisk(const std::u16string& devicePath)
{
    std::string onDisk;
    for (size_t end = 0; end != std::u16string::npos;) {
        end = devicePath.find(u'\\', end + 1);
        WIN32_FIND_DATAW record;
        HANDLE probe = FindFirstFileW(devicePath.substr(0, end).c_str(), &record);
        if (probe == INVALID_HANDLE_VALUE) return std::string();
        FindClose(probe);
        if (!IsFolderEntry(&record)) return std::string();
        onDisk += (onDisk.empty() ? "" : "/") + HostName(record.cFileName);
    }
    return onDisk;
}

bool OpenPackageFolder(const std::string& hostFolder)
{
    return HostSetDeviceRoot(hostFolder.c_str()) != FALSE;
}

PackageSum SumPackage()
{
    PackageSum result;
    std::u16string path;
    WalkFolder(path, result);
    return result;
}

bool ReadPackageChecksum(uint32_t* value)
{
    FILE* file = _wfopen(kChecksumFileName, u"rb");
    if (!file) return false;
    *value = ReadChecksumNumber(file);
    // As on the device: a read error fails the check, whatever was read.
    const bool readable = ferror(file) == 0;
    fclose(file);
    return readable;
}

bool WritePackageChecksum(uint16_t sum)
{
    FILE* file = _wfopen(kChecksumFileName, u"wb");
    if (!file) return false;
    const bool written = fprintf(file, "%X\r\n", static_cast<unsigned>(sum)) > 0;
    return (fclose(file) == 0) && written;
}
