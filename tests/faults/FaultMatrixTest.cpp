// A fault at every fallible platform call of a job, once transient (only that
// call fails) and once persistent (that call and every later call of the same
// service fail), and at every system call made inside those services. Each
// run starts from the same reference device and must return the code (or
// one of the two codes) that failure gives, leak nothing, leave the card and
// everything outside the target untouched, never leave a file in the target
// whose bytes are neither the package's nor the stale target's, and return 0
// only with the target an exact copy of the package. The order of the calls
// is pinned once, by SeamTest. Two more columns on the same device: the job
// killed at every call, then run again; and a write-protected card.
#include "DeviceFixture.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <set>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "HostFaults.h"

namespace {

struct DeviceEntry {
    std::string path; // relative to its base, "/" separators
    bool folder;
    std::string bytes;
};

// Small byte values keep the package's total below 65536, so no set of
// skipped files can add up to a multiple of 65536 and hide behind a
// matching sum: a code of 0 then proves every summed file was copied.
std::string SmallBytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(1 + (i * 7 + seed) % 15);
    return bytes;
}

const std::vector<DeviceEntry>& Package()
{
    static const std::vector<DeviceEntry> entries = {
        {"PreDLVerno.ini", false, "1.0.4\r\n"},
        {"a3000.bin", false, SmallBytes(3000, 1)},
        {"empty.bin", false, ""},
        {"hollow", true, ""},
        {"maps", true, ""},
        {"maps/k1024.bin", false, SmallBytes(1024, 2)},
        {"maps/CheckSum.INI", false, "not summed"},
        {"maps/PREDLVERNO.ini", true, ""},
        {"maps/PREDLVERNO.ini/one.bin", false, "\x05"},
        {"maps/deep", true, ""},
        {"maps/deep/more", true, ""},
        {"maps/deep/more/b1024.bin", false, SmallBytes(1024, 3)},
    };
    return entries;
}

// The target as an earlier install left it. a3000.bin is also a package
// name (overwritten by the copy); the stale folders are not.
const std::vector<DeviceEntry>& StaleTarget()
{
    static const std::vector<DeviceEntry> entries = {
        {"a3000.bin", false, "stale a3000"},
        {"old.txt", false, "old"},
        {"stale", true, ""},
        {"stale/old2.bin", false, "old2"},
        {"stale/inner", true, ""},
        {"stale/inner/old3.bin", false, "old3"},
        {"stale/inner/void", true, ""},
        {"vacant", true, ""},
    };
    return entries;
}

const std::vector<DeviceEntry>& Outside()
{
    static const std::vector<DeviceEntry> entries = {
        {"Windows/Pelk_MapCopy.exe", false, "MZ app"},
        {"notes.txt", false, "keep"},
        {"SDMMC/other.txt", false, "not in the package"},
        {"MassStorageOld/x.bin", false, "a sibling with the target's name as prefix"},
    };
    return entries;
}

bool IsSummedName(const std::string& path)
{
    return !IsExcludedNameModel(path.substr(path.find_last_of('/') + 1));
}

std::string Narrow(const std::u16string& devicePath)
{
    std::string text;
    for (char16_t c : devicePath) text += c == u'\\' ? '/' : static_cast<char>(c);
    return text;
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The path below base ("MassStorage" or "SDMMC/PreDLMap"), "" for base itself.
std::string Below(const std::string& path, const std::string& base)
{
    return path == base ? "" : path.substr(base.size() + 1);
}

struct TracedCall {
    HostService service;
    std::u16string path;
};

void RecordCall(HostService service, const WCHAR* devicePath, bool, void* context)
{
    static_cast<std::vector<TracedCall>*>(context)->push_back({service, devicePath ? devicePath : u""});
}

const std::string kTarget = "MassStorage";
const std::string kSource = "SDMMC/PreDLMap";

enum Stage { CLEARING, COPYING, VERIFYING };

// The stage a call belongs to, read from its service and path: the clearing
// searches, deletes and removes below the target; the copy searches the
// package, creates and copies, and sums the copies; the check reads the
// package's checksum.ini.
Stage StageOf(const TracedCall& call)
{
    const std::string path = Narrow(call.path);
    const bool inTarget = path == kTarget || StartsWith(path, kTarget + "/");
    switch (call.service) {
    case SERVICE_DELETE_FILE:
    case SERVICE_REMOVE_DIRECTORY: return CLEARING;
    case SERVICE_FIND_FIRST:
    case SERVICE_FIND_NEXT: return inTarget ? CLEARING : COPYING;
    case SERVICE_OPEN_STREAM:
    case SERVICE_READ_STREAM: return inTarget ? COPYING : VERIFYING;
    default: return COPYING;
    }
}

const std::string kAllSuffix = "/*.*";

bool IsPattern(const std::string& path)
{
    return path.size() >= kAllSuffix.size() && path.compare(path.size() - kAllSuffix.size(), kAllSuffix.size(), kAllSuffix) == 0;
}

// The folder a call works in: a search's folder, else the entry's own.
std::string FolderOf(const std::string& path) { return IsPattern(path) ? path.substr(0, path.size() - kAllSuffix.size()) : path; }

std::string ParentOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

const DeviceEntry* PackageEntry(const std::string& relative)
{
    for (const DeviceEntry& entry : Package())
        if (entry.path == relative) return &entry;
    return nullptr;
}

// The code a job ends with when only call index of the clean run fails: one
// code, or the two a folder's first entry decides between. 0 only where the
// failure leaves the device as a clean run does.
std::set<int> TransientCodes(const std::vector<TracedCall>& clean, size_t index)
{
    const TracedCall& call = clean[index];
    const std::string path = Narrow(call.path);
    const bool atTarget = FolderOf(path) == kTarget;
    switch (StageOf(call)) {
    case CLEARING:
        if (call.service == SERVICE_DELETE_FILE) return {ParentOf(path) == kTarget ? 1 : 2};
        if (call.service == SERVICE_REMOVE_DIRECTORY) return {atTarget ? 0 : 2};
        if (call.service == SERVICE_FIND_NEXT || IsPattern(path)) return {atTarget ? 1 : 2};
        // The probe: harmless after the folder's removal, else it may stay.
        return {atTarget || (index > 0 && clean[index - 1].service == SERVICE_REMOVE_DIRECTORY) ? 0 : 2};
    case COPYING:
        if (call.service == SERVICE_CREATE_DIRECTORY) return {3, 5};
        if (call.service == SERVICE_FIND_FIRST) return {IsPattern(path) ? 5 : 4};
        if (call.service == SERVICE_OPEN_STREAM) {
            const DeviceEntry* entry = PackageEntry(Below(path, kTarget));
            return {entry && ModelByteSum(entry->bytes) == 0 ? 0 : 6};
        }
        if (call.service == SERVICE_READ_STREAM) return {0, 6}; // 0 only for the read at the end
        return {5};
    case VERIFYING: return {6};
    }
    return {};
}

// The same when that call and every later call of its service fail: a
// failure that harms nothing leaves the decision to the next one.
std::set<int> CodesFor(const std::vector<TracedCall>& clean, size_t index, bool persistent)
{
    std::set<int> codes = TransientCodes(clean, index);
    if (!persistent) return codes;
    const TracedCall& call = clean[index];
    const std::string path = Narrow(call.path);
    if (call.service == SERVICE_FIND_FIRST && StageOf(call) == COPYING && IsPattern(path)) return {4}; // its probe fails too
    if (call.service == SERVICE_FIND_NEXT && StageOf(call) == CLEARING) codes.insert(1); // the target's listing fails too
    if (!codes.count(0)) return codes;
    codes.erase(0);
    for (size_t next = index + 1; next < clean.size(); ++next) {
        if (clean[next].service != call.service) continue;
        const std::set<int> later = CodesFor(clean, next, true);
        codes.insert(later.begin(), later.end());
        return codes;
    }
    codes.insert(0);
    return codes;
}

// The device every test here starts from: a stale target, a sealed package
// and files outside both.
class ReferenceDeviceTest : public DeviceTest {
protected:
    void BuildReferenceDevice()
    {
        std::error_code ignored;
        for (const fs::directory_entry& entry : fs::directory_iterator(Root())) fs::remove_all(entry.path(), ignored);
        for (const DeviceEntry& entry : Outside()) WriteFile(entry.path, entry.bytes);
        for (const DeviceEntry& entry : StaleTarget()) {
            if (entry.folder) MakeFolder(kTarget + "/" + entry.path);
            else WriteFile(kTarget + "/" + entry.path, entry.bytes);
        }
        std::vector<PackageFile> files;
        for (const DeviceEntry& entry : Package()) {
            if (entry.folder) MakeFolder(kSource + "/" + entry.path);
            else files.push_back({entry.path, entry.bytes});
        }
        WriteSealedPackage(files);
    }

    // A 0 means the target is the package exactly, empty files and folders
    // included. Otherwise every file in the target holds the package's bytes
    // or the stale bytes of that path, never a mix.
    void ExpectTargetIsSound(int32_t status)
    {
        const Snapshot target = Snap(kTarget);
        if (status == STATUS_OK) {
            EXPECT_EQ(target, Snap(kSource)) << "code 0 without an exact copy of the package";
            return;
        }
        for (const auto& [path, content] : target) {
            if (content == "D") continue;
            std::set<std::string> known;
            for (const DeviceEntry& entry : Package())
                if (entry.path == path && !entry.folder) known.insert("F:" + entry.bytes);
            for (const DeviceEntry& entry : StaleTarget())
                if (entry.path == path && !entry.folder) known.insert("F:" + entry.bytes);
            if (path == "checksum.ini") known.insert("F:" + ReadFile(kSource + "/checksum.ini"));
            EXPECT_TRUE(known.count(content)) << "target file " << path << " holds bytes of neither package nor stale target";
        }
    }

    // The job, with the process's umask set to jobMask_ while it runs when
    // that is not 0.
    int32_t RunJobUnderMask()
    {
        const mode_t saved = jobMask_ ? umask(jobMask_) : 0;
        const int32_t status = RunJob();
        if (jobMask_) umask(saved);
        return status;
    }
    mode_t jobMask_ = 0;

    // One faulted run on a fresh reference device: the code must be one of
    // codes, and nothing may leak or change outside the target.
    int32_t RunFaulted(const HostFaultPlan& plan, const std::set<int>& codes)
    {
        BuildReferenceDevice();
        const Snapshot before = SnapOutsideTarget();
        const int descriptors = HostOpenDescriptors();
        HostFaultsArm(&plan);
        const int32_t status = RunJobUnderMask();
        EXPECT_TRUE(codes.count(status)) << "code " << status << " is not one this fault may give";
        EXPECT_EQ(HostOpenFindHandles(), 0);
        EXPECT_EQ(HostOpenDescriptors(), descriptors) << "a descriptor leaked";
        EXPECT_EQ(SnapOutsideTarget(), before) << "the card or something outside the target changed";
        ExpectTargetIsSound(status);
        return status;
    }
};

class FaultMatrixTest : public ReferenceDeviceTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FaultMatrixTest, EveryCallFailingEndsWithAnAllowedCodeAndNoDamage)
{
    const bool persistent = GetParam();
    uint32_t total = 0;
    for (const DeviceEntry& entry : Package())
        if (!entry.folder && IsSummedName(entry.path)) total += ModelByteSum(entry.bytes);
    ASSERT_LT(total, 65536u) << "the reference package must not wrap its sum";

    BuildReferenceDevice();
    std::vector<TracedCall> clean;
    HostFaultsSetTrace(RecordCall, &clean);
    ASSERT_EQ(RunJob(), STATUS_OK);
    HostFaultsReset();
    ASSERT_GT(clean.size(), 50u);

    std::map<int, int> codeCounts;
    unsigned injected = 0;
    for (size_t n = 1; n <= clean.size(); ++n) {
        const TracedCall& target = clean[n - 1];
        SCOPED_TRACE(testing::Message() << (persistent ? "persistent" : "transient") << " fault at call " << n << " of "
                                        << clean.size() << ": " << HostServiceName(target.service) << " "
                                        << Narrow(target.path));
        std::vector<TracedCall> trace;
        HostFaultsSetTrace(RecordCall, &trace);
        HostFaultPlan plan = {};
        plan.failAtCall = static_cast<unsigned>(n);
        plan.persistent = persistent;
        const int32_t status = RunFaulted(plan, CodesFor(clean, n - 1, persistent));
        const unsigned faults = HostFaultsInjected();
        HostFaultsReset();

        // The run must have met the same call N as the clean run did.
        ASSERT_GE(trace.size(), n);
        ASSERT_EQ(trace[n - 1].service, target.service);
        ASSERT_EQ(trace[n - 1].path, target.path);
        if (persistent) EXPECT_GE(faults, 1u);
        else EXPECT_EQ(faults, 1u);
        injected += faults;
        ++codeCounts[status];
        if (HasFatalFailure()) return;
    }

    std::cout << (persistent ? "persistent" : "transient") << ": " << clean.size() << " calls, " << injected
              << " faults injected; codes:";
    for (const auto& [code, count] : codeCounts) std::cout << " " << code << "x" << count;
    std::cout << std::endl;
    RecordProperty("faults_injected", static_cast<int>(injected));
}

INSTANTIATE_TEST_SUITE_P(Modes, FaultMatrixTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& mode) {
                             return mode.param ? "Persistent" : "Transient";
                         });

// ---- a system call failing inside a service ------------------------------

struct SystemCallRow {
    HostSystemCall call;
    mode_t umask;   // 077 makes every copy set its permissions
    bool ownVolume; // the card on a volume of its own: copies fall back to read and write
};

struct SystemCallSeen {
    HostSystemCall call;
    unsigned serviceCall;
};

void RecordSystemCall(HostSystemCall call, unsigned serviceCall, bool, void* context)
{
    static_cast<std::vector<SystemCallSeen>*>(context)->push_back({call, serviceCall});
}

class SystemCallFaultTest : public ReferenceDeviceTest, public ::testing::WithParamInterface<SystemCallRow> {};

// Each occurrence of the system call in a clean job fails once, with EIO:
// the job must end with a code that a failure of the service it was made in
// may give.
TEST_P(SystemCallFaultTest, EachOccurrenceFailingEndsWithItsServicesCode)
{
    const SystemCallRow& row = GetParam();
    if (row.ownVolume) {
        std::string why;
        ASSERT_TRUE(Mount("SDMMC", "tmpfs", "tmpfs", 0, "size=4m", &why)) << why;
    }
    jobMask_ = row.umask;
    BuildReferenceDevice();
    std::vector<TracedCall> clean;
    std::vector<SystemCallSeen> seen;
    HostFaultsSetTrace(RecordCall, &clean);
    HostFaultsSetSystemCallTrace(RecordSystemCall, &seen);
    ASSERT_EQ(RunJobUnderMask(), STATUS_OK);
    HostFaultsReset();
    std::vector<unsigned> inService; // the service call each occurrence is made in
    for (const SystemCallSeen& call : seen)
        if (call.call == row.call) inService.push_back(call.serviceCall);
    ASSERT_FALSE(inService.empty()) << HostSystemCallName(row.call) << " is never called";

    std::map<int, int> codeCounts;
    for (unsigned k = 1; k <= inService.size(); ++k) {
        const size_t service = inService[k - 1] - 1;
        ASSERT_LT(service, clean.size());
        SCOPED_TRACE(testing::Message() << HostSystemCallName(row.call) << " #" << k << " of " << inService.size()
                                        << ", in " << HostServiceName(clean[service].service) << " "
                                        << Narrow(clean[service].path));
        HostFaultPlan plan = {};
        plan.failSystemCall = row.call;
        plan.failSystemCallAt = k;
        const int32_t status = RunFaulted(plan, TransientCodes(clean, service));
        ++codeCounts[status];
        EXPECT_EQ(HostFaultsInjected(), 1u);
        HostFaultsReset();
        if (HasFailure()) break;
    }
    std::cout << HostSystemCallName(row.call) << ": " << inService.size() << " calls failed; codes:";
    for (const auto& [code, count] : codeCounts) std::cout << " " << code << "x" << count;
    std::cout << std::endl;
}

INSTANTIATE_TEST_SUITE_P(
    Inside, SystemCallFaultTest,
    ::testing::Values(SystemCallRow{SYSCALL_OPENAT, 0, false}, SystemCallRow{SYSCALL_FSTATAT, 0, false},
                      SystemCallRow{SYSCALL_FSTAT, 0, false}, SystemCallRow{SYSCALL_READDIR, 0, false},
                      SystemCallRow{SYSCALL_MKDIRAT, 0, false}, SystemCallRow{SYSCALL_UNLINKAT, 0, false},
                      SystemCallRow{SYSCALL_COPY_FILE_RANGE, 0, false}, SystemCallRow{SYSCALL_FUTIMENS, 0, false},
                      SystemCallRow{SYSCALL_FCHMOD, 077, false}, SystemCallRow{SYSCALL_READ, 0, false},
                      SystemCallRow{SYSCALL_READ, 0, true}, SystemCallRow{SYSCALL_WRITE, 0, true}),
    [](const ::testing::TestParamInfo<SystemCallRow>& row) {
        return std::string(HostSystemCallName(row.param.call)) + (row.param.ownVolume ? "CardOnItsOwnVolume" : "");
    });

// ---- the job killed at every call ------------------------------------------

// Runs body in a child process, which never returns into the test; gives its
// wait status.
template <typename Body>
int InChildProcess(Body body)
{
    const pid_t child = fork();
    if (child == 0) _exit(body());
    int status = -1;
    if (child < 0 || waitpid(child, &status, 0) != child) return -1;
    return status;
}

void KillAtCall(HostService, const WCHAR*, bool, void* context)
{
    if (HostCallCount() == *static_cast<const unsigned*>(context)) raise(SIGKILL);
}

// A reset or a power cut may stop a job between any two platform calls,
// leaving a half-emptied target or a partial copy; the next job, in a new
// process as after the restart, must install the package as if from scratch.
using InterruptedJobTest = ReferenceDeviceTest;

TEST_F(InterruptedJobTest, KilledAtEveryCallThenAFreshRunInstallsAnExactCopy)
{
    BuildReferenceDevice();
    ASSERT_EQ(RunJob(), STATUS_OK);
    const unsigned calls = HostCallCount();
    ASSERT_GT(calls, 50u);

    unsigned interrupted = 0;
    unsigned cleanReruns = 0;
    for (unsigned n = 1; n <= calls; ++n) {
        SCOPED_TRACE(testing::Message() << "job killed at call " << n << " of " << calls);
        BuildReferenceDevice();
        const Snapshot before = SnapOutsideTarget();

        const int killed = InChildProcess([&n] {
            HostFaultsReset();
            HostFaultsSetTrace(KillAtCall, &n);
            PELK_UserMapCopy_CopyFiles();
            return 0;
        });
        const bool wasKilled = WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL;
        EXPECT_TRUE(wasKilled) << "the job did not reach call " << n << " (wait status " << killed << ")";

        const int rerun = InChildProcess([] {
            HostFaultsReset();
            const int descriptors = HostOpenDescriptors();
            const int32_t status = PELK_UserMapCopy_CopyFiles();
            return HostOpenFindHandles() == 0 && HostOpenDescriptors() == descriptors ? status : 100;
        });
        const bool rerunOk = WIFEXITED(rerun) && WEXITSTATUS(rerun) == STATUS_OK;
        EXPECT_TRUE(rerunOk) << "the rerun ended with " << (WIFEXITED(rerun) ? WEXITSTATUS(rerun) : -1)
                             << " (100: it left a handle open, -1: it did not exit)";
        const bool exactCopy = Snap(kTarget) == Snap(kSource);
        EXPECT_TRUE(exactCopy) << "the rerun left no exact copy of the package";
        const bool untouched = SnapOutsideTarget() == before;
        EXPECT_TRUE(untouched) << "the card or something outside the target changed";

        interrupted += wasKilled;
        cleanReruns += rerunOk && exactCopy && untouched;
        if (HasFailure()) break;
    }
    std::cout << "interrupted jobs: " << interrupted << ", clean reruns: " << cleanReruns << std::endl;
    EXPECT_EQ(interrupted, calls);
    EXPECT_EQ(cleanReruns, calls);
}

// ---- a write-protected card ------------------------------------------------

bool IsCardPath(const std::u16string& path)
{
    return path == u"SDMMC" || path.rfind(u"SDMMC\\", 0) == 0;
}

// How the card's slot locks it: where the platform lets us mount, a read-only
// bind mount; everywhere the seam refusing every write below "SDMMC".
struct Protection {
    const char* name;
    bool mountReadOnly;
};

class WriteProtectedCardTest : public ReferenceDeviceTest, public ::testing::WithParamInterface<Protection> {};

TEST_P(WriteProtectedCardTest, JobSucceedsAndNeverOpensACardPathForWriting)
{
    BuildReferenceDevice();
    const Snapshot before = SnapOutsideTarget();
    if (GetParam().mountReadOnly) {
        const std::string card = (Root() / "SDMMC").string();
        std::string why;
        if (!Mount("SDMMC", card, nullptr, MS_BIND, nullptr, &why))
            GTEST_SKIP() << "cannot bind-mount here (" << why << "); needs root and mount rights";
        ASSERT_EQ(mount(nullptr, card.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
            << strerror(errno);
    } else {
        HostFaultPlan plan = {};
        std::copy_n(u"SDMMC", 6, plan.writeProtectedFolder);
        HostFaultsArm(&plan);
    }

    std::vector<TracedCall> calls;
    std::vector<TracedCall> writes;
    HostFaultsSetTrace(RecordCall, &calls);
    HostFaultsSetWriteTrace(RecordCall, &writes);
    EXPECT_EQ(RunJob(), STATUS_OK);
    HostFaultsSetWriteTrace(nullptr, nullptr);
    EXPECT_FALSE(CreateDirectoryW(u"SDMMC\\PreDLMap\\written", nullptr)) << "the card is not write-protected";
    HostFaultsReset();

    for (const TracedCall& write : writes)
        EXPECT_FALSE(IsCardPath(write.path)) << HostServiceName(write.service) << " writes " << Narrow(write.path);
    // Each copy is reported by its destination, the same name in the target.
    std::vector<std::string> copied;
    std::vector<std::string> destinations;
    for (const TracedCall& call : calls)
        if (call.service == SERVICE_COPY_FILE) copied.push_back(kTarget + "/" + Below(Narrow(call.path), kSource));
    for (const TracedCall& write : writes)
        if (write.service == SERVICE_COPY_FILE) destinations.push_back(Narrow(write.path));
    EXPECT_EQ(destinations, copied);
    EXPECT_FALSE(copied.empty());

    EXPECT_EQ(Snap(kTarget), Snap(kSource));
    EXPECT_EQ(SnapOutsideTarget(), before);
}

INSTANTIATE_TEST_SUITE_P(Locked, WriteProtectedCardTest,
                         ::testing::Values(Protection{"ReadOnlyBindMount", true}, Protection{"SeamRefusesWrites", false}),
                         [](const ::testing::TestParamInfo<Protection>& param) { return std::string(param.param.name); });

} // namespace
