// What the device fixture needs of the platform it runs on, one file each:
// FixturePosix.cpp (the host file layer) and FixtureWin32.cpp (the Win32 API,
// with "\\?\" paths for trees deeper than MAX_PATH).
#ifndef PELK_TESTS_FIXTURE_PLATFORM_H
#define PELK_TESTS_FIXTURE_PLATFORM_H

#include <filesystem>
#include <string>

#include "DeviceFixture.h"

namespace fixture {

unsigned long ProcessId();
// Removes the tree at path, read-only entries and links included; never follows a link.
void RemoveTree(const std::filesystem::path& path);
void MakeFolders(const std::filesystem::path& path);
bool WriteBytes(const std::filesystem::path& path, const std::string& bytes);
std::string ReadBytes(const std::filesystem::path& path);
bool Exists(const std::filesystem::path& path);
bool IsFolder(const std::filesystem::path& path);
void SnapTree(const std::filesystem::path& base, Snapshot* snapshot);
bool SetReadOnly(const std::filesystem::path& path, bool readOnly);

// Before and after each test, in the test's device root.
void BeginTest();
void EndTest();

// What a job must leave as it found it: open searches and descriptors (-1
// where the platform cannot tell).
int OpenSearches();
int OpenDescriptors();

} // namespace fixture

#endif
