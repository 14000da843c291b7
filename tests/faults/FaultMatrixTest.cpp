// A fault at every fallible platform call of a job, once transient (only that
// call fails) and once persistent (that call and every later call of the same
// service fail). Each run starts from the same reference device and must
// return a code the failed call's stage may store, leak nothing, leave the
// card and everything outside the target untouched, never leave a file in
// the target whose bytes are neither the package's nor the stale target's,
// and return 0 only with an exact copy of every summed file. The order of
// the calls is pinned once, by SeamTest. Two more columns on the same device:
// the job killed at every call, then run again; and a write-protected card.
#include "DeviceFixture.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>
#include <set>
#include <sys/mount.h>
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

// The codes a job may end with when a call of this stage fails: the stage's
// own codes, or 0 where the failure harms nothing; the copy's faults also
// surface as a sum that does not match (6). A persistent fault goes on
// failing the same service in the later stages, and their codes join in.
std::set<int> CodesFor(const TracedCall& call, bool persistent)
{
    const std::set<int> byStage[] = {{0, 1, 2}, {0, 3, 4, 5, 6}, {6}};
    const Stage stage = StageOf(call);
    std::set<int> codes = byStage[stage];
    const bool searches = call.service == SERVICE_FIND_FIRST || call.service == SERVICE_FIND_NEXT;
    if (persistent && stage == CLEARING && searches) codes.insert(byStage[COPYING].begin(), byStage[COPYING].end());
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

    // Every file in the target holds the package's bytes or the stale
    // bytes of that path, never a mix; after a code of 0 every summed file
    // of the package is there.
    void ExpectTargetIsSound(int32_t status)
    {
        Snapshot target = Snap(kTarget);
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
        if (status != STATUS_OK) return;
        for (const DeviceEntry& entry : Package()) {
            if (entry.folder || !IsSummedName(entry.path) || entry.bytes.empty()) continue;
            auto copy = target.find(entry.path);
            EXPECT_TRUE(copy != target.end() && copy->second == "F:" + entry.bytes)
                << "code 0 without an exact copy of " << entry.path;
        }
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
        BuildReferenceDevice();
        const Snapshot before = SnapOutsideTarget();

        std::vector<TracedCall> trace;
        HostFaultsSetTrace(RecordCall, &trace);
        HostFaultPlan plan = {};
        plan.failAtCall = static_cast<unsigned>(n);
        plan.persistent = persistent;
        HostFaultsArm(&plan);
        const int32_t status = RunJob();
        const unsigned faults = HostFaultsInjected();
        HostFaultsReset();

        // The run must have met the same call N as the clean run did.
        ASSERT_GE(trace.size(), n);
        ASSERT_EQ(trace[n - 1].service, target.service);
        ASSERT_EQ(trace[n - 1].path, target.path);
        if (persistent) EXPECT_GE(faults, 1u);
        else EXPECT_EQ(faults, 1u);
        injected += faults;

        EXPECT_TRUE(CodesFor(target, persistent).count(status)) << "code " << status << " is not one its stage stores";
        EXPECT_EQ(HostOpenFindHandles(), 0);
        EXPECT_EQ(SnapOutsideTarget(), before) << "the card or something outside the target changed";
        ExpectTargetIsSound(status);
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
