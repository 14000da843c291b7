// The device fixture on the host file layer.
#include "FixturePlatform.h"

#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "HostFaults.h"

namespace fs = std::filesystem;

namespace fixture {

unsigned long ProcessId() { return static_cast<unsigned long>(getpid()); }

void RemoveTree(const fs::path& path)
{
    std::error_code ignored;
    // Read-only folders left by a test must not stop the clean-up.
    for (auto it = fs::recursive_directory_iterator(path, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        if (!it->is_symlink(ignored)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::remove_all(path, ignored);
}

void MakeFolders(const fs::path& path) { fs::create_directories(path); }

bool WriteBytes(const fs::path& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return out.good();
}

std::string ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool Exists(const fs::path& path)
{
    std::error_code ignored;
    return fs::exists(fs::symlink_status(path, ignored));
}

bool IsFolder(const fs::path& path)
{
    std::error_code ignored;
    return fs::is_directory(fs::symlink_status(path, ignored));
}

void SnapTree(const fs::path& base, Snapshot* snapshot)
{
    std::error_code error;
    if (!fs::exists(base, error)) return;
    for (auto it = fs::recursive_directory_iterator(base, error); it != fs::recursive_directory_iterator();
         it.increment(error)) {
        // Lexically: fs::relative would resolve links (and throw on a loop).
        const std::string key = it->path().lexically_relative(base).generic_u8string();
        if (it->is_symlink()) (*snapshot)[key] = "L:" + fs::read_symlink(it->path()).generic_u8string();
        else if (it->is_directory()) (*snapshot)[key] = "D";
        else if (it->is_regular_file()) (*snapshot)[key] = "F:" + ReadBytes(it->path());
        else (*snapshot)[key] = "S"; // FIFO, socket, device
    }
}

bool SetReadOnly(const fs::path& path, bool readOnly)
{
    // The read-only attribute on the host: no write permission bit at all.
    const fs::perms write = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    std::error_code error;
    fs::permissions(path, readOnly ? write : fs::perms::owner_write,
                    readOnly ? fs::perm_options::remove : fs::perm_options::add, error);
    return !error;
}

void BeginTest()
{
    HostFaultsReset();
    HostSetDeviceRoot(nullptr);
}

void EndTest()
{
    HostFaultsReset();
    EXPECT_EQ(HostOpenFindHandles(), 0);
}

int OpenSearches() { return HostOpenFindHandles(); }
int OpenDescriptors() { return HostOpenDescriptors(); }

} // namespace fixture

bool HostSeamAvailable() { return true; }

bool DeviceTest::Mount(const std::string& relative, const std::string& source, const char* type,
                       unsigned long flags, const char* options, std::string* why)
{
    MakeFolder(relative);
    const fs::path point = root_ / U8Path(relative);
    if (mount(source.c_str(), point.c_str(), type, flags, options) != 0) {
        *why = strerror(errno);
        return false;
    }
    mounts_.push_back(point);
    return true;
}

void DeviceTest::UnmountQuietly(const fs::path& point) { umount2(point.c_str(), MNT_DETACH); }
