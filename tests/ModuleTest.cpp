// The module as the device application uses it: loaded by file name, both
// exports resolved by their plain names.
#include "DeviceFixture.h"

#if !defined(_WIN32)
#  include <dlfcn.h>

#  include <cstdio>
#  include <set>

TEST_F(DeviceTest, ModuleLoadsAndRunsAJobThroughItsExports)
{
    void* module = dlopen(PELK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    using CopyFiles = int32_t (*)(void);
    using MapCopyPath = const PELK_WCHAR* (*)(void);
    auto copyFiles = reinterpret_cast<CopyFiles>(dlsym(module, "PELK_UserMapCopy_CopyFiles"));
    auto mapCopyPath = reinterpret_cast<MapCopyPath>(dlsym(module, "GetMapCopyPath"));
    ASSERT_NE(copyFiles, nullptr);
    ASSERT_NE(mapCopyPath, nullptr);
    EXPECT_EQ(dlsym(module, "ClearTree"), nullptr) << "internals stay hidden";
    EXPECT_EQ(dlsym(module, "DllMain"), nullptr);

    WriteSealedPackage({{"a.bin", PatternBytes(2000, 1)}});
    WriteFile("MassStorage/old.bin", "old");
    EXPECT_EQ(copyFiles(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(mapCopyPath())), u"\\Windows\\Pelk_MapCopy.exe");
    dlclose(module);
}

TEST(Module, ExportsExactlyTheTwoFunctions)
{
    FILE* pipe = popen("nm -D --defined-only '" PELK_MODULE_PATH "'", "r");
    ASSERT_NE(pipe, nullptr);
    std::set<std::string> names;
    char line[512];
    while (fgets(line, sizeof line, pipe)) {
        std::string text(line);
        const size_t space = text.find_last_of(' ');
        names.insert(text.substr(space + 1, text.find_last_not_of("\r\n") - space));
    }
    EXPECT_EQ(pclose(pipe), 0) << "nm must be installed";
    EXPECT_EQ(names, (std::set<std::string>{"GetMapCopyPath", "PELK_UserMapCopy_CopyFiles"}));
}
#endif
