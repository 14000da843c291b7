// The module as the device application uses it: loaded by file name, both
// exports resolved by their plain names.
#include "DeviceFixture.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>

#  include <cstdio>
#  include <set>
#endif

namespace {

#if defined(_WIN32)
using Module = HMODULE;
// By file name, as the device application does: the loader finds it beside
// the test program.
Module OpenModule() { return LoadLibraryW(L"PELK_UserMapCopy.dll"); }
void* FindExport(Module module, const char* name) { return reinterpret_cast<void*>(GetProcAddress(module, name)); }
void CloseModule(Module module) { FreeLibrary(module); }
std::string LoadError() { return "LoadLibraryW failed, error " + std::to_string(GetLastError()); }
#else
using Module = void*;
Module OpenModule() { return dlopen(PELK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL); }
void* FindExport(Module module, const char* name) { return dlsym(module, name); }
void CloseModule(Module module) { dlclose(module); }
std::string LoadError() { return dlerror(); }
#endif

} // namespace

TEST_F(DeviceTest, ModuleLoadsAndRunsAJobThroughItsExports)
{
    Module module = OpenModule();
    ASSERT_NE(module, nullptr) << LoadError();
    using CopyFiles = int32_t(PELK_CALL*)(void);
    using MapCopyPath = const PELK_WCHAR*(PELK_CALL*)(void);
    auto copyFiles = reinterpret_cast<CopyFiles>(FindExport(module, "PELK_UserMapCopy_CopyFiles"));
    auto mapCopyPath = reinterpret_cast<MapCopyPath>(FindExport(module, "GetMapCopyPath"));
    ASSERT_NE(copyFiles, nullptr);
    ASSERT_NE(mapCopyPath, nullptr);
    EXPECT_EQ(FindExport(module, "ClearTree"), nullptr) << "internals stay hidden";
    EXPECT_EQ(FindExport(module, "DllMain"), nullptr);

    WriteSealedPackage({{"a.bin", PatternBytes(2000, 1)}});
    WriteFile("MassStorage/old.bin", "old");
    EXPECT_EQ(copyFiles(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(mapCopyPath())), u"\\Windows\\Pelk_MapCopy.exe");
    CloseModule(module);
}

#if !defined(_WIN32)
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
