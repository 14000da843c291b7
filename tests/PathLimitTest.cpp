// Paths at and past the 260-unit limit, and the deepest tree the limit
// allows, walked on a thread with Windows CE's default 64 KiB stack.
#include "DeviceFixture.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <pthread.h>
#endif

namespace {

// Lengths in UTF-16 units of the fixed folders, as the library composes them.
const size_t kPackageLength = 14; // SDMMC\PreDLMap
const size_t kTargetLength = 11;  // MassStorage

std::string Name(size_t length, char fill = 'n') { return std::string(length, fill); }

// Runs the job on a thread whose whole stack is 64 KiB.
int32_t RunJobOnSmallStack()
{
    struct Call {
        static
#if defined(_WIN32)
            DWORD WINAPI
#else
            void*
#endif
            Run(void* result)
        {
            *static_cast<int32_t*>(result) = PELK_UserMapCopy_CopyFiles();
            return 0;
        }
    };
    int32_t result = -1;
    const size_t stackBytes = 64 * 1024;
#if defined(_WIN32)
    HANDLE thread = CreateThread(nullptr, stackBytes, reinterpret_cast<LPTHREAD_START_ROUTINE>(&Call::Run), &result,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    EXPECT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
#else
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    EXPECT_EQ(pthread_attr_setstacksize(&attributes, stackBytes), 0);
    pthread_t thread;
    EXPECT_EQ(pthread_create(&thread, &attributes, &Call::Run, &result), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
#endif
    return result;
}

std::string Chain(size_t levels)
{
    std::string path;
    for (size_t i = 0; i < levels; ++i) path += (i ? "/a" : "a");
    return path;
}

} // namespace

TEST_F(DeviceTest, FilePathOf259UnitsCopiesAnd260Fails)
{
    // SDMMC\PreDLMap\<name>: 15 + name units, terminator not counted.
    WriteSealedPackage({{Name(259 - kPackageLength - 1), "fits"}});
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(ReadFile("MassStorage/" + Name(259 - kPackageLength - 1)), "fits");

    WriteSealedPackage({{Name(260 - kPackageLength - 1, 'o'), "too long"}});
    EXPECT_EQ(RunJob(), STATUS_COPY_FAILED);
}

TEST_F(DeviceTest, FolderWhoseSearchPatternWouldNotFitFailsCreate)
{
    // A folder is searched as <folder>\*.*: its path may take 255 units.
    MakeFolder("SDMMC/PreDLMap/" + Name(255 - kPackageLength - 1));
    WriteChecksumFile("0");
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_TRUE(IsFolder("MassStorage/" + Name(255 - kPackageLength - 1)));

    RemoveTree("SDMMC/PreDLMap/" + Name(255 - kPackageLength - 1));
    MakeFolder("SDMMC/PreDLMap/" + Name(256 - kPackageLength - 1, 'o'));
    EXPECT_EQ(RunJob(), STATUS_CREATE_DIR_FAILED);
    EXPECT_FALSE(Exists("MassStorage/" + Name(256 - kPackageLength - 1, 'o')));
}

struct ClearLimitCase {
    const char* name;
    std::string stale;   // relative to MassStorage; ends in "/" for a folder
    int32_t status;
};

class ClearLimitTest : public DeviceTest, public ::testing::WithParamInterface<ClearLimitCase> {};

TEST_P(ClearLimitTest, OverLongTargetEntriesFailAndNothingIsOverrun)
{
    const std::string& stale = GetParam().stale;
    if (stale.back() == '/') MakeFolder("MassStorage/" + stale);
    else WriteFile("MassStorage/" + stale, "stale");
    WriteSealedPackage({{"f.bin", "f"}});
    EXPECT_EQ(RunJob(), GetParam().status);
    EXPECT_EQ(Exists("MassStorage/" + stale), GetParam().status != STATUS_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, ClearLimitTest,
    ::testing::Values(ClearLimitCase{"File259", Name(259 - kTargetLength - 1), STATUS_OK},
                      ClearLimitCase{"File260", Name(260 - kTargetLength - 1), STATUS_DELETE_FAILED},
                      ClearLimitCase{"DeeperFile260", "d/" + Name(260 - kTargetLength - 3), STATUS_REMOVE_DIR_FAILED},
                      ClearLimitCase{"Folder255", Name(255 - kTargetLength - 1) + "/", STATUS_OK},
                      ClearLimitCase{"Folder256", Name(256 - kTargetLength - 1) + "/", STATUS_REMOVE_DIR_FAILED}),
    [](const ::testing::TestParamInfo<ClearLimitCase>& p) { return p.param.name; });

TEST_F(DeviceTest, DeepestTreeRunsOnA64KiBStack)
{
    // 120 levels of "\a" bring the package's deepest folder to 254 units.
    const size_t levels = (255 - kPackageLength) / 2;
    WriteSealedPackage({{Chain(levels) + "/f", PatternBytes(3000, 1)}, {"top.bin", PatternBytes(10, 2)}});
    // A stale target deeper than any package folder could be.
    MakeFolder("MassStorage/" + Chain((255 - kTargetLength) / 2));

    EXPECT_EQ(RunJobOnSmallStack(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
    EXPECT_EQ(RunJobOnSmallStack(), STATUS_OK) << "clearing the deep copy again";
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}

TEST_F(DeviceTest, FolderOneLevelPastThePathLimitFailsCreate)
{
    const size_t levels = (255 - kPackageLength) / 2 + 1;
    MakeFolder("SDMMC/PreDLMap/" + Chain(levels));
    WriteChecksumFile("0");
    EXPECT_EQ(RunJobOnSmallStack(), STATUS_CREATE_DIR_FAILED);
}
