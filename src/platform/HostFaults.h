// Test seam of the host file layer: counts and traces the fallible platform
// calls, fails a chosen one, and counts open find handles and streams so a
// test can prove a job leaks nothing. Not exported from the module; when no
// plan is armed and no trace hook is set, a call pays one predictable branch.
#ifndef PELK_HOST_FAULTS_H
#define PELK_HOST_FAULTS_H

#include <atomic>

#include "HostFileLayer.h"

enum HostService {
    SERVICE_NONE = 0,
    SERVICE_FIND_FIRST,
    SERVICE_FIND_NEXT,
    SERVICE_CREATE_DIRECTORY,
    SERVICE_REMOVE_DIRECTORY,
    SERVICE_DELETE_FILE,
    SERVICE_COPY_FILE,
    SERVICE_OPEN_STREAM,
    SERVICE_READ_STREAM,
    SERVICE_COUNT
};

const char* HostServiceName(HostService service);

// A plan fails calls in one of two ways, or both:
//  - by number: call failAtCall (1-based, counting every fallible call since
//    HostFaultsReset) fails; when persistent, every later call of the same
//    service fails too;
//  - by service and path: every call of matchService whose device path
//    equals matchPath fails (for a stream read, the path it was opened with).
// Apart from these, a plan can write-protect a folder, as a locked medium
// does: every write of it or of a path below it fails (empty: none).
struct HostFaultPlan {
    unsigned failAtCall;
    bool persistent;
    HostService matchService;
    WCHAR matchPath[MAX_PATH];
    WCHAR writeProtectedFolder[MAX_PATH];
};

typedef void (*HostTraceHook)(HostService service, const WCHAR* devicePath, bool failed, void* context);

void HostFaultsReset(void);                 // clears plan, hook and call count
void HostFaultsArm(const HostFaultPlan* plan);
void HostFaultsSetTrace(HostTraceHook hook, void* context);
// The trace names one path per call, which for CopyFileW is its source. This
// hook gets the path each call writes instead: the folder created or removed,
// the file deleted, CopyFileW's destination, a stream opened in a writing
// mode; failed says the write protection refused it. Cleared by reset.
void HostFaultsSetWriteTrace(HostTraceHook hook, void* context);
unsigned HostCallCount(void);               // fallible calls since reset
unsigned HostFaultsInjected(void);          // calls failed by the plan since reset
int HostOpenFindHandles(void);
int HostOpenStreams(void);

// Kept by the layer as it opens and closes find handles and streams.
extern std::atomic<int> g_hostOpenFindHandles;
extern std::atomic<int> g_hostOpenStreams;

// Used by the layer itself: true when this call must fail.
bool HostCallFails(HostService service, const WCHAR* devicePath);
// Used by the layer's writing services after HostCallFails, with the path
// they write: true when the write must fail. Not a call of its own: the call
// count does not change.
bool HostWriteFails(HostService service, const WCHAR* writtenPath);
// The same for _wfopen, which writes only in a writing mode.
bool HostStreamWriteFails(const WCHAR* fileName, const WCHAR* mode);

#endif
