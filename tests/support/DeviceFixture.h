// A fresh device for each test: a temporary folder made the current
// directory, which is the device root on every platform we test ("MassStorage"
// resolves to ./MassStorage). Helpers build packages and stale targets and
// take snapshots of whole trees to compare.
#ifndef PELK_TESTS_DEVICE_FIXTURE_H
#define PELK_TESTS_DEVICE_FIXTURE_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "PELK_UserMapCopy.h"

namespace fs = std::filesystem;

// A tree below some folder: relative path (UTF-8, "/" separators) to
// "F:<bytes>" for a file, "D" for a folder, "L:<target>" for a link.
using Snapshot = std::map<std::string, std::string>;

// A file of a package, relative to SDMMC/PreDLMap.
struct PackageFile {
    std::string path;
    std::string bytes;
};

fs::path U8Path(const std::string& utf8);
std::string PatternBytes(size_t size, unsigned seed);
uint16_t ModelByteSum(const std::string& bytes);
bool IsExcludedNameModel(const std::string& utf8Name);

class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    fs::path Root() const { return root_; }
    void WriteFile(const std::string& relative, const std::string& bytes);
    void MakeFolder(const std::string& relative);
    std::string ReadFile(const std::string& relative) const;
    bool Exists(const std::string& relative) const;
    bool IsFolder(const std::string& relative) const;
    void RemoveTree(const std::string& relative);
    // The read-only attribute, set the platform's way: SetFileAttributesW on
    // Windows, every write permission bit taken away on POSIX.
    void SetReadOnly(const std::string& relative, bool readOnly);
    Snapshot Snap(const std::string& relative) const;
    // The whole device but MassStorage: what a job must never change.
    Snapshot SnapOutsideTarget() const;

    // Writes the files below SDMMC/PreDLMap; returns the package sum the
    // device should compute (excluded names left out).
    uint16_t WritePackage(const std::vector<PackageFile>& files);
    // Writes SDMMC/PreDLMap/checksum.ini holding text.
    void WriteChecksumFile(const std::string& text);
    // WritePackage, then a checksum.ini holding the sum plus offset.
    uint16_t WriteSealedPackage(const std::vector<PackageFile>& files, int offset = 0);

    // Runs the job and checks that it left no find handle, stream or folder
    // open (where the platform can tell).
    int32_t RunJob();

#if !defined(_WIN32)
    // Mounts source over the folder at relative (made first), for the rest
    // of the test. False, with the reason in *why, where mounting is not
    // permitted (it needs root and mount rights).
    bool Mount(const std::string& relative, const std::string& source, const char* type, unsigned long flags,
               const char* options, std::string* why);
#endif

private:
    fs::path previous_;
    fs::path root_;
    std::vector<fs::path> mounts_;
    static void UnmountQuietly(const fs::path& point);
};

// Host only: the fault seam and the leak counters.
bool HostSeamAvailable();

#endif
