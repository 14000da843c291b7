// Faults and traces for tests of the host file layer: wrappers put in the
// layer's call table (HostCalls.h) count and trace the fallible platform
// calls and fail chosen ones. Test support only: the module has none of it.
#ifndef PELK_HOST_FAULTS_H
#define PELK_HOST_FAULTS_H

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

// The system calls under the services, each of which a plan can fail.
enum HostSystemCall {
    SYSCALL_NONE = 0,
    SYSCALL_OPENAT,
    SYSCALL_FSTATAT,
    SYSCALL_FSTAT,
    SYSCALL_READDIR,
    SYSCALL_MKDIRAT,
    SYSCALL_UNLINKAT,
    SYSCALL_FTRUNCATE,
    SYSCALL_COPY_FILE_RANGE,
    SYSCALL_READ,
    SYSCALL_WRITE,
    SYSCALL_FCHMOD,
    SYSCALL_FUTIMENS,
    SYSCALL_COUNT
};

const char* HostSystemCallName(HostSystemCall call);

// A plan fails calls in one of two ways, or both:
//  - by number: call failAtCall (1-based, counting every fallible call since
//    HostFaultsReset) fails; when persistent, every later call of the same
//    service fails too;
//  - by service and path: every call of matchService whose device path
//    equals matchPath fails (for a stream read, the path it was opened with).
// Apart from these, a plan can write-protect a folder, as a locked medium
// does: every write of it or of a path below it fails (empty: none).
// A plan can also fail one system call: the failSystemCallAt-th call
// (1-based, since reset) of failSystemCall fails with systemCallError.
struct HostFaultPlan {
    unsigned failAtCall;
    bool persistent;
    HostService matchService;
    WCHAR matchPath[MAX_PATH];
    WCHAR writeProtectedFolder[MAX_PATH];
    HostSystemCall failSystemCall;
    unsigned failSystemCallAt;
    int systemCallError;
};

typedef void (*HostTraceHook)(HostService service, const WCHAR* devicePath, bool failed, void* context);

// Puts the wrappers in the call table and clears plan, hooks and count.
void HostFaultsReset(void);
// Puts the system's own calls back.
void HostFaultsRemove(void);
void HostFaultsArm(const HostFaultPlan* plan);
void HostFaultsSetTrace(HostTraceHook hook, void* context);
// The trace names one path per call, which for CopyFileW is its source. This
// hook gets the path each call writes instead: the folder created or removed,
// the file deleted, CopyFileW's destination, a stream opened in a writing
// mode; failed says the write protection refused it. Cleared by reset.
void HostFaultsSetWriteTrace(HostTraceHook hook, void* context);
// Gets each system call the services make, with the number of the service
// call it is made in (HostCallCount() at the time). Cleared by reset.
typedef void (*HostSystemCallHook)(HostSystemCall call, unsigned serviceCall, bool failed, void* context);
void HostFaultsSetSystemCallTrace(HostSystemCallHook hook, void* context);
unsigned HostCallCount(void);               // fallible calls since reset
unsigned HostFaultsInjected(void);          // calls failed by the plan since reset
// Searches the layer has open, and descriptors the process has open: a
// job that leaks a search, a stream or a folder shows in one or the other.
int HostOpenFindHandles(void);
int HostOpenDescriptors(void);

#endif
