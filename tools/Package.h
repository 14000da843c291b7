// The package sum of a package folder on the PC, computed by the library's
// own code: the device's exclusion rule (IsSummedFileName) and byte sum
// (SumFileBytes), over a walk through the host file layer's find services.
#ifndef PELK_TOOLS_PACKAGE_SUM_H
#define PELK_TOOLS_PACKAGE_SUM_H

#include <cstdint>
#include <string>

struct PackageSum {
    uint16_t sum = 0;
    uint64_t summedFiles = 0;
    uint64_t otherFiles = 0; // checksum.ini and PreDLVerno.ini, copied but not summed
    uint64_t folders = 0;
    std::string error; // empty on success
};

// Makes hostFolder the device root: afterwards device paths name entries of
// the package. False when the folder cannot be opened.
bool OpenPackageFolder(const std::string& hostFolder);

// The host path, below the device root, of the folder at devicePath as the
// device finds it (each name in any letter case, no link on the way); empty
// when there is no such folder.
std::string FolderOnDisk(const std::u16string& devicePath);

// Walks the package folder opened last. A folder or file the device could not
// read, or a path too long for the device's "SDMMC\PreDLMap\..." form, sets
// error: the job would fail on that package, so no sum is given.
PackageSum SumPackage();

// The number in the package's checksum.ini, read with the library's reader.
// False when the file cannot be opened or read.
bool ReadPackageChecksum(uint32_t* value);

// Writes the checksum file as the package producer does: upper-case
// hexadecimal and CR LF. False when it cannot be written.
bool WritePackageChecksum(uint16_t sum);

#endif
