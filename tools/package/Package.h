// A package and a device folder as the device's job sees them, found with
// the library's own code: its walk (FindFirstEntry, FindNextEntry, TreePath),
// its path limits (AppendTreeName, AppendTreeEntry), its exclusion rule
// (IsSummedFileName), byte sum (SumFileBytes) and checksum reader
// (ReadChecksumFile). Device paths are relative to the device root that
// tool::EnterDeviceRoot entered.
#ifndef PELK_TOOLS_PACKAGE_H
#define PELK_TOOLS_PACKAGE_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Platform.h"
#include "ToolPlatform.h"
#include "Words.h"

namespace tool {

// Something the device's job would fail on, or that a card cannot hold.
struct Finding {
    int code;         // the JobStatus the job would end with, or kExitNotForACard
    std::string text; // names the path relative to the package, and why
};

// An entry of a device folder's tree.
struct TreeEntry {
    DeviceString key;           // its path below the folder, folded as the device compares names
    std::filesystem::path host; // relative to the device root, names as stored
    std::string shown;          // below the folder, names escaped
    bool folder;
    uint64_t bytes;   // of a file
    uint64_t entries; // the FAT directory entries its name takes
};

struct PackageCheck {
    uint16_t sum = 0;
    uint64_t summedFiles = 0;
    uint64_t otherFiles = 0; // checksum.ini and PreDLVerno.ini: copied, not summed
    uint64_t folders = 0;
    uint64_t bytes = 0;            // of every file
    std::vector<Finding> findings; // in the order the job would meet them
    // Files with the excluded names below the package's root (where only
    // checksum.ini and PreDLVerno.ini are expected), relative to it.
    std::vector<std::string> otherBelowTheRoot;
    // Every entry the walk could name, as the copy will hold it.
    std::vector<TreeEntry> tree;
};

// The bytes a FAT volume with clusters of clusterBytes allocates for the
// tree as a folder of its own: every file in whole clusters, and every
// folder's 32-byte directory entries (at least one cluster). The one model
// for what a package needs and what deleting MassStorage frees.
uint64_t AllocatedBytes(const std::vector<TreeEntry>& tree, uint64_t clusterBytes);
// A tree's bytes, and its files.
uint64_t TreeBytes(const std::vector<TreeEntry>& tree);
uint64_t TreeFiles(const std::vector<TreeEntry>& tree);

// Reads one regular file of the package in place of the library's
// SumFileBytes, so that one pass can also hash it (Manifest.h): host is its
// path relative to the device root, relative its path below the package.
// Sets *sum to its byte sum; false when it cannot be read.
using FileReader = std::function<bool(const std::filesystem::path& host, const std::filesystem::path& relative,
                                      uint16_t* sum)>;

// Walks the package in the device folder `folder` ("" for the device root)
// as the job copies it from "SDMMC\PreDLMap" into "MassStorage". Looks
// before it opens: only regular files are read, and no folder on another
// file system is walked. A reader, when given, reads every such file.
PackageCheck CheckPackage(const DeviceString& folder, const FileReader& reader = nullptr);

// The device's verdict on a check: kExitNotForACard when a finding says a
// card cannot hold the package, else the first status the job would end
// with, else 0 (the checksum not yet considered).
int WorstFinding(const PackageCheck& check);

// The number in the checksum.ini of the package at `folder`, read as the
// device reads it; false when it cannot be opened or read.
bool ReadPackageChecksum(const DeviceString& folder, uint32_t* value);

// Writes the checksum file of the package at the device root as the package
// producer does: upper-case hexadecimal and CR LF. On failure sets *why.
bool WritePackageChecksum(uint16_t sum, std::string* why);

// The host path, relative to the device root, of the folder at devicePath as
// the job finds it (each name in any letter case, no link on the way); empty
// when there is no such folder.
std::filesystem::path FolderOnDisk(const DeviceString& devicePath);

// Every entry below the device folder, in the order the job's walk meets
// them; opens no file. Safe beside a job changing the folder: an entry that
// vanishes is left out. *unlisted, when given, says why the listing is not
// whole (a path too long to name, a folder that cannot be read), or stays
// empty.
std::vector<TreeEntry> ListTree(const DeviceString& folder, std::string* unlisted = nullptr);


// The path as shown to the user: the platform's own separators.
std::string Shown(const std::filesystem::path& path);

} // namespace tool

#endif
