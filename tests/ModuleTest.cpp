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

#if defined(_WIN32)
DWORD WINAPI RunJobOnThread(LPVOID copyFiles)
{
    return static_cast<DWORD>(reinterpret_cast<int32_t(PELK_CALL*)(void)>(copyFiles)());
}

// The loader's own notifications reach the entry routine: a load (process
// attach) that must succeed, a thread started and ended while loaded, an
// unload and a second load. The job runs the same through all of them.
TEST_F(DeviceTest, LoaderNotificationsLeaveTheJobAsItWas)
{
    WriteSealedPackage({{"a.bin", PatternBytes(700, 2)}});
    for (int load = 0; load < 2; ++load) {
        Module module = OpenModule();
        ASSERT_NE(module, nullptr) << LoadError();
        void* copyFiles = FindExport(module, "PELK_UserMapCopy_CopyFiles");
        ASSERT_NE(copyFiles, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, RunJobOnThread, copyFiles, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        EXPECT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
        DWORD code = 99;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        CloseHandle(thread);
        EXPECT_EQ(code, static_cast<DWORD>(STATUS_OK)) << "load " << load;
        EXPECT_EQ(reinterpret_cast<int32_t(PELK_CALL*)(void)>(copyFiles)(), STATUS_OK) << "load " << load;
        CloseModule(module);
    }
    EXPECT_EQ(Snap("MassStorage"), Snap("SDMMC/PreDLMap"));
}
#endif

#if !defined(_WIN32)
// The names nm lists for file; withKind keeps its one-letter kind before
// each ("U name@VERSION", "w name").
std::set<std::string> SymbolsOf(const char* options, const char* file, bool withKind = false)
{
    FILE* pipe = popen((std::string("nm ") + options + " '" + file + "'").c_str(), "r");
    std::set<std::string> names;
    if (!pipe) return names;
    char line[4096];
    while (fgets(line, sizeof line, pipe)) {
        std::string text(line);
        text.erase(text.find_last_not_of("\r\n") + 1);
        const size_t space = text.find_last_of(' ');
        if (space == std::string::npos || space < 2) continue; // an archive's member names
        names.insert(withKind ? text.substr(space - 1) : text.substr(space + 1));
    }
    EXPECT_EQ(pclose(pipe), 0) << "nm must be installed";
    return names;
}

TEST(Module, ExportsExactlyTheTwoFunctions)
{
    EXPECT_EQ(SymbolsOf("-D --defined-only", PELK_MODULE_PATH),
              (std::set<std::string>{"GetMapCopyPath", "PELK_UserMapCopy_CopyFiles"}));
}

// What the module imports comes from the run-time libraries only
// (every name bound to one of their versions, or weak), and nothing it
// defines is the fault seam's.
#if defined(__has_feature)
#  if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer) || __has_feature(thread_sanitizer)
#    define PELK_SANITIZED 1
#  endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#  define PELK_SANITIZED 1
#endif

TEST(Module, ImportsOnlyTheRunTimeAndCarriesNoFaultCode)
{
    const std::set<std::string> seam = SymbolsOf("--defined-only --extern-only", PELK_FAULTS_LIBRARY);
    EXPECT_GT(seam.size(), 10u) << "nm lists the fault library";
    for (const std::string& symbol : SymbolsOf("-D --undefined-only", PELK_MODULE_PATH, true)) {
        const std::string name = symbol.substr(2, symbol.find('@') == std::string::npos ? std::string::npos
                                                                                          : symbol.find('@') - 2);
        EXPECT_EQ(seam.count(name), 0u) << "the module calls the fault seam: " << symbol;
#if !defined(PELK_SANITIZED) // a sanitizer's run-time binds no versions
        const bool weak = symbol.rfind("w ", 0) == 0;
        bool versioned = false;
        for (const char* library : {"@GLIBC", "@CXXABI", "@GCC_"}) // the C, C++ and compiler run-times
            versioned = versioned || symbol.find(library) != std::string::npos;
        EXPECT_TRUE(weak || versioned) << "imported from outside the run-time: " << symbol;
#endif
    }
    const std::set<std::string> defined = SymbolsOf("--defined-only", PELK_MODULE_PATH);
    EXPECT_TRUE(defined.count("PELK_UserMapCopy_CopyFiles")) << "the build's module keeps its symbol table";
    for (const std::string& symbol : seam) EXPECT_EQ(defined.count(symbol), 0u) << "the module defines " << symbol;
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
