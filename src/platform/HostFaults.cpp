#include "HostFaults.h"

#include <atomic>
#include <string.h>

namespace {

HostFaultPlan g_plan;
bool g_planArmed = false;
HostTraceHook g_traceHook = nullptr;
void* g_traceContext = nullptr;
HostTraceHook g_writeHook = nullptr;
void* g_writeContext = nullptr;
unsigned g_callCount = 0;
unsigned g_faultsInjected = 0;
HostService g_persistentService = SERVICE_NONE;

bool SamePath(const WCHAR* left, const WCHAR* right)
{
    if (!left || !right) return false;
    while (*left && *left == *right) {
        ++left;
        ++right;
    }
    return *left == *right;
}

bool IsSeparator(WCHAR unit) { return unit == u'\\' || unit == u'/'; }

// folder itself or a path below it
bool IsWithin(const WCHAR* path, const WCHAR* folder)
{
    if (!path || !folder[0]) return false;
    while (*folder && *path == *folder) {
        ++path;
        ++folder;
    }
    return *folder == 0 && (*path == 0 || IsSeparator(*path));
}

} // namespace

std::atomic<int> g_hostOpenFindHandles{0};
std::atomic<int> g_hostOpenStreams{0};

const char* HostServiceName(HostService service)
{
    switch (service) {
    case SERVICE_FIND_FIRST: return "FindFirstFileW";
    case SERVICE_FIND_NEXT: return "FindNextFileW";
    case SERVICE_CREATE_DIRECTORY: return "CreateDirectoryW";
    case SERVICE_REMOVE_DIRECTORY: return "RemoveDirectoryW";
    case SERVICE_DELETE_FILE: return "DeleteFileW";
    case SERVICE_COPY_FILE: return "CopyFileW";
    case SERVICE_OPEN_STREAM: return "_wfopen";
    case SERVICE_READ_STREAM: return "fread";
    default: return "none";
    }
}

void HostFaultsReset(void)
{
    memset(&g_plan, 0, sizeof g_plan);
    g_planArmed = false;
    g_traceHook = nullptr;
    g_traceContext = nullptr;
    g_writeHook = nullptr;
    g_writeContext = nullptr;
    g_callCount = 0;
    g_faultsInjected = 0;
    g_persistentService = SERVICE_NONE;
}

void HostFaultsArm(const HostFaultPlan* plan)
{
    g_plan = *plan;
    g_planArmed = true;
    g_persistentService = SERVICE_NONE;
}

void HostFaultsSetTrace(HostTraceHook hook, void* context)
{
    g_traceHook = hook;
    g_traceContext = context;
}

void HostFaultsSetWriteTrace(HostTraceHook hook, void* context)
{
    g_writeHook = hook;
    g_writeContext = context;
}

unsigned HostCallCount(void) { return g_callCount; }
unsigned HostFaultsInjected(void) { return g_faultsInjected; }
int HostOpenFindHandles(void) { return g_hostOpenFindHandles.load(std::memory_order_relaxed); }
int HostOpenStreams(void) { return g_hostOpenStreams.load(std::memory_order_relaxed); }

bool HostCallFails(HostService service, const WCHAR* devicePath)
{
    ++g_callCount;
    if (!g_planArmed && !g_traceHook) return false;

    bool fails = false;
    if (g_planArmed) {
        if (g_plan.failAtCall != 0 && g_callCount == g_plan.failAtCall) {
            fails = true;
            if (g_plan.persistent) g_persistentService = service;
        } else if (service == g_persistentService) {
            fails = true;
        }
        if (service == g_plan.matchService && SamePath(devicePath, g_plan.matchPath)) fails = true;
        if (fails) ++g_faultsInjected;
    }
    if (g_traceHook) g_traceHook(service, devicePath, fails, g_traceContext);
    return fails;
}

bool HostWriteFails(HostService service, const WCHAR* writtenPath)
{
    if (!g_planArmed && !g_writeHook) return false;
    const bool fails = g_planArmed && IsWithin(writtenPath, g_plan.writeProtectedFolder);
    if (fails) ++g_faultsInjected;
    if (g_writeHook) g_writeHook(service, writtenPath, fails, g_writeContext);
    return fails;
}

bool HostStreamWriteFails(const WCHAR* fileName, const WCHAR* mode)
{
    bool writes = mode[0] != u'r';
    for (const WCHAR* option = mode; *option; ++option)
        if (*option == u'+') writes = true;
    return writes && HostWriteFails(SERVICE_OPEN_STREAM, fileName);
}
