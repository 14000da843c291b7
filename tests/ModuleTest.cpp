// The module as the device application uses it: loaded by file name, both
// exports resolved by their plain names.
#include "DeviceFixture.h"

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <dlfcn.h>

#  include <sys/mount.h>

#  include <cerrno>
#  include <cstdio>
#  include <cstring>
#  include <set>

#  include "HostFaults.h"
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
std::set<std::string> SymbolsOfTheModule(const char* options)
{
    FILE* pipe = popen((std::string("nm ") + options + " '" PELK_MODULE_PATH "'").c_str(), "r");
    std::set<std::string> names;
    if (!pipe) return names;
    char line[4096];
    while (fgets(line, sizeof line, pipe)) {
        std::string text(line);
        const size_t space = text.find_last_of(' ');
        names.insert(text.substr(space + 1, text.find_last_not_of("\r\n") - space));
    }
    EXPECT_EQ(pclose(pipe), 0) << "nm must be installed";
    return names;
}

TEST(Module, ExportsExactlyTheTwoFunctions)
{
    EXPECT_EQ(SymbolsOfTheModule("-D --defined-only"),
              (std::set<std::string>{"GetMapCopyPath", "PELK_UserMapCopy_CopyFiles"}));
}

TEST(Module, CarriesNoFaultCode)
{
    const std::set<std::string> symbols = SymbolsOfTheModule("--defined-only");
    EXPECT_TRUE(symbols.count("PELK_UserMapCopy_CopyFiles")) << "the build's module keeps its symbol table";
    for (const std::string& symbol : symbols)
        for (const char* seam : {"HostFault", "HostCallCount", "HostService", "CallFails", "WriteFails"})
            EXPECT_EQ(symbol.find(seam), std::string::npos) << symbol;
}

// The card is a volume of its own: once the job has returned, and once the
// module is unloaded, nothing holds it, and it unmounts at once.
TEST_F(DeviceTest, NothingIsHeldOnceTheJobReturns)
{
    std::string why;
    ASSERT_TRUE(Mount("SDMMC", "tmpfs", "tmpfs", 0, "size=4m", &why)) << why;
    WriteSealedPackage({{"a.bin", PatternBytes(3000, 1)}, {"maps/b.bin", PatternBytes(500, 2)}});
    WriteFile("MassStorage/old/stale.bin", "old");
    const int descriptors = HostOpenDescriptors();
    for (int cycle = 0; cycle < 3; ++cycle) {
        Module module = OpenModule();
        ASSERT_NE(module, nullptr) << LoadError();
        auto copyFiles = reinterpret_cast<int32_t(PELK_CALL*)(void)>(FindExport(module, "PELK_UserMapCopy_CopyFiles"));
        ASSERT_NE(copyFiles, nullptr);
        EXPECT_EQ(copyFiles(), STATUS_OK);
        EXPECT_EQ(HostOpenDescriptors(), descriptors) << "after the module's job, cycle " << cycle;
        CloseModule(module);
        EXPECT_EQ(HostOpenDescriptors(), descriptors) << "after unloading, cycle " << cycle;
    }
    EXPECT_EQ(RunJob(), STATUS_OK);
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
    EXPECT_EQ(umount2((Root() / "SDMMC").c_str(), 0), 0) << "the card is busy: " << strerror(errno);
}
#endif
