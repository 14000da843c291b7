#include "DeviceFixture.h"

#include <atomic>
#include <cstdio>

#include "FixturePlatform.h"

fs::path U8Path(const std::string& utf8)
{
    return fs::u8path(utf8);
}

std::string PatternBytes(size_t size, unsigned seed)
{
    // Never all zero, and with bytes on both sides of 0x80.
    std::string bytes(size, '\0');
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>((state >> 16) | 1);
    }
    return bytes;
}

uint16_t ModelByteSum(const std::string& bytes)
{
    uint32_t sum = 0;
    for (unsigned char c : bytes) sum += c;
    return static_cast<uint16_t>(sum);
}

bool IsExcludedNameModel(const std::string& utf8Name)
{
    std::string lower;
    for (char c : utf8Name) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return lower == "checksum.ini" || lower == "predlverno.ini";
}

void DeviceTest::SetUp()
{
    static std::atomic<unsigned> counter{0};
    previous_ = fs::current_path();
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    // The process id too: parameterised names can share their first 80
    // characters, and ctest -j runs each case in a process of its own.
    root_ = fs::temp_directory_path() / ("pelk-" + name.substr(0, 80) + "-" + std::to_string(fixture::ProcessId()) +
                                         "-" + std::to_string(counter++));
    fixture::RemoveTree(root_);
    fs::create_directories(root_);
    fs::current_path(root_);
    fixture::BeginTest();
}

void DeviceTest::TearDown()
{
    for (auto mount = mounts_.rbegin(); mount != mounts_.rend(); ++mount) UnmountQuietly(*mount);
    mounts_.clear();
    fixture::EndTest();
    fs::current_path(previous_);
    fixture::RemoveTree(root_);
}

void DeviceTest::WriteFile(const std::string& relative, const std::string& bytes)
{
    const fs::path path = root_ / U8Path(relative);
    fixture::MakeFolders(path.parent_path());
    ASSERT_TRUE(fixture::WriteBytes(path, bytes)) << relative;
}

void DeviceTest::MakeFolder(const std::string& relative) { fixture::MakeFolders(root_ / U8Path(relative)); }

std::string DeviceTest::ReadFile(const std::string& relative) const
{
    return fixture::ReadBytes(root_ / U8Path(relative));
}

bool DeviceTest::Exists(const std::string& relative) const { return fixture::Exists(root_ / U8Path(relative)); }

bool DeviceTest::IsFolder(const std::string& relative) const { return fixture::IsFolder(root_ / U8Path(relative)); }

void DeviceTest::RemoveTree(const std::string& relative) { fixture::RemoveTree(root_ / U8Path(relative)); }

Snapshot DeviceTest::Snap(const std::string& relative) const
{
    Snapshot snapshot;
    fixture::SnapTree(root_ / U8Path(relative), &snapshot);
    return snapshot;
}

Snapshot DeviceTest::SnapOutsideTarget() const
{
    Snapshot snapshot = Snap("");
    for (auto it = snapshot.begin(); it != snapshot.end();) {
        if (it->first == "MassStorage" || it->first.rfind("MassStorage/", 0) == 0) it = snapshot.erase(it);
        else ++it;
    }
    return snapshot;
}

void DeviceTest::SetReadOnly(const std::string& relative, bool readOnly)
{
    ASSERT_TRUE(fixture::SetReadOnly(root_ / U8Path(relative), readOnly)) << relative;
}

int32_t DeviceTest::RunJob()
{
    const int descriptors = fixture::OpenDescriptors();
    int32_t status = PELK_UserMapCopy_CopyFiles();
    if (fixture::OpenSearches() >= 0) {
        EXPECT_EQ(fixture::OpenSearches(), 0) << "the job left a find handle open";
    }
    if (descriptors >= 0) {
        EXPECT_EQ(fixture::OpenDescriptors(), descriptors) << "the job left a stream or folder open";
    }
    return status;
}

uint16_t DeviceTest::WritePackage(const std::vector<PackageFile>& files)
{
    MakeFolder("SDMMC/PreDLMap");
    uint16_t sum = 0;
    for (const PackageFile& file : files) {
        WriteFile("SDMMC/PreDLMap/" + file.path, file.bytes);
        std::string name = file.path.substr(file.path.find_last_of('/') + 1);
        if (!IsExcludedNameModel(name)) sum = static_cast<uint16_t>(sum + ModelByteSum(file.bytes));
    }
    return sum;
}

void DeviceTest::WriteChecksumFile(const std::string& text)
{
    WriteFile("SDMMC/PreDLMap/checksum.ini", text);
}

uint16_t DeviceTest::WriteSealedPackage(const std::vector<PackageFile>& files, int offset)
{
    uint16_t sum = WritePackage(files);
    char text[32];
    snprintf(text, sizeof text, "%X\r\n", static_cast<unsigned>(static_cast<uint16_t>(sum + offset)));
    WriteChecksumFile(text);
    return sum;
}

