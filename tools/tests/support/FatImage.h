// A FAT32 image behind fusefat, for the tests that need a FAT card: made
// with mkfs.fat and mounted with every step bounded by timeout; at the end
// unmounted (where it still is) and checked with fsck.fat -n.
#ifndef PELK_FAT_IMAGE_H
#define PELK_FAT_IMAGE_H

#if !defined(_WIN32)
#  include <gtest/gtest.h>
#  include <poll.h>
#  include <sys/syscall.h>
#  include <sys/wait.h>
#  include <unistd.h>

#  include <cstdio>
#  include <cstdlib>
#  include <filesystem>
#  include <string>

inline int Shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class FatImage {
public:
    FatImage(std::filesystem::path image, std::filesystem::path folder)
        : image_(std::move(image)), folder_(std::move(folder))
    {
    }

    // Makes the image (size as truncate takes it: "300M"; format as mkfs.fat
    // takes it) and mounts it on the folder, which must be there; skips the
    // test where there is no /dev/fuse.
    void Mount(const char* size, const char* format = "-F 32 -n MAPCARD")
    {
        ASSERT_EQ(Shell("command -v fusefat mkfs.fat fsck.fat fusermount >/dev/null"), 0)
            << "fusefat and dosfstools are needed (CI installs them)";
        if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse here";
        ASSERT_EQ(Shell("truncate -s " + std::string(size) + " '" + image_.string() + "' && timeout 30 mkfs.fat " + format + " '" +
                        image_.string() + "' >/dev/null"),
                  0);
        Remount();
    }

    // Mounts the image made before once more.
    void Remount()
    {
        ASSERT_EQ(Shell("timeout 30 fusefat -o rw+ '" + image_.string() + "' '" + folder_.string() +
                        "' >/dev/null 2>&1"),
                  0);
        mounted_ = true;
    }

    // Unmounts it, unless it is gone already (stillMounted false), waits for
    // its driver to end and checks the volume.
    void UnmountAndCheck(bool stillMounted = true)
    {
        if (!mounted_) return;
        mounted_ = false;
        if (stillMounted) {
            EXPECT_EQ(Shell("timeout 30 fusermount -u '" + folder_.string() + "'"), 0);
        }
        WaitForTheDriver();
        EXPECT_EQ(Shell("timeout 60 fsck.fat -n '" + image_.string() + "' >/dev/null"), 0) << "the volume is damaged";
    }

    bool Mounted() const { return mounted_; }

    // After a test that failed midway: unmounted, unchecked.
    void UnmountQuietly()
    {
        if (mounted_) Shell("timeout 30 fusermount -u -q '" + folder_.string() + "'");
        mounted_ = false;
    }

private:
    // The driver writes its last sectors as it ends: the check waits for
    // its process to end (a pidfd turns readable then), a minute at most.
    void WaitForTheDriver()
    {
        FILE* found = popen(("pgrep -f 'fusefat .*" + image_.string() + "'").c_str(), "r");
        long pid = 0;
        while (found && fscanf(found, "%ld", &pid) == 1) {
            const int process = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
            if (process < 0) continue; // ended already
            struct pollfd ended = {process, POLLIN, 0};
            EXPECT_EQ(poll(&ended, 1, 60 * 1000), 1) << "fusefat (pid " << pid << ") did not end";
            close(process);
        }
        if (found) pclose(found);
    }

    std::filesystem::path image_, folder_;
    bool mounted_ = false;
};
#endif

#endif
