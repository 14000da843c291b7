// pelk-mapcopy on Linux: dlopen, chdir, statvfs, TIOCGWINSZ, the host file
// layer's own conversions, and the program's entry.
#include "ToolPlatform.h"

#include <dlfcn.h>
#include <sys/ioctl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fs = std::filesystem;

namespace tool {

struct Module {
    void* handle;
};

fs::path ToolFolder()
{
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path(".") : self.parent_path();
}

fs::path DefaultModule()
{
    const char kModule[] = "libPELK_UserMapCopy.so";
    const fs::path folder = ToolFolder();
    std::error_code error;
    if (fs::exists(folder / kModule, error)) return folder / kModule;
    return (folder / PELK_INSTALLED_MODULE_DIR / kModule).lexically_normal();
}

Module* LoadModule(const fs::path& file, std::string* why)
{
    // A path with a "/" is opened as a file, never searched for.
    const fs::path absolute = fs::absolute(file);
    void* handle = dlopen(absolute.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        *why = dlerror();
        return nullptr;
    }
    return new Module{handle};
}

void* FindExport(Module* module, const char* name) { return dlsym(module->handle, name); }

void UnloadModule(Module* module)
{
    dlclose(module->handle);
    delete module;
}

bool EnterDeviceRoot(const fs::path& folder, std::string* why)
{
    // The host file layer, in this program and in the module, roots the
    // device at the current directory.
    if (chdir(folder.c_str()) != 0) {
        *why = strerror(errno);
        return false;
    }
    if (!HostSetDeviceRoot(nullptr)) {
        *why = strerror(errno);
        return false;
    }
    return true;
}

fs::path HostPathOf(const WCHAR* devicePath)
{
    char host[4096];
    if (devicePath[0] == 0) return fs::path();
    if (HostPathFromDevice(devicePath, host, sizeof host) < 0) return fs::path();
    return fs::path(host);
}

DeviceString FoldedName(const WCHAR* name)
{
    // The host layer's own folding, which finds the names.
    DeviceString folded;
    for (; *name; ++name) folded += HostFoldUnit(*name);
    return folded;
}

std::string LastErrorText()
{
    // The host layer leaves errno as the failing system call set it.
    if (errno != 0) return strerror(errno);
    return "error " + std::to_string(GetLastError());
}

bool FreeSpace(const fs::path& path, uint64_t* bytes, std::string* why)
{
    struct statvfs volume;
    if (statvfs(path.c_str(), &volume) != 0) {
        *why = strerror(errno);
        return false;
    }
    *bytes = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    return true;
}

int ErrorTerminalColumns()
{
    if (!isatty(STDERR_FILENO)) return 0;
    struct winsize size;
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
    return size.ws_col;
}

} // namespace tool

int main(int argc, char** argv)
{
    // Linux arguments are bytes; the commands take them as UTF-8.
    return tool::Main(std::vector<std::string>(argv + 1, argv + argc));
}
