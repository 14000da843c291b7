// The job's codes and stop rules, provoked through the host layer's fault
// seam, and the exact order of its platform calls.
#include "DeviceFixture.h"

#include "HostFaults.h"
#include "JobState.h"

namespace {

struct Call {
    HostService service;
    std::u16string path;
    bool failed;
    bool operator==(const Call& other) const
    {
        return service == other.service && path == other.path && failed == other.failed;
    }
};

std::ostream& operator<<(std::ostream& out, const Call& call)
{
    out << HostServiceName(call.service) << "(";
    for (char16_t unit : call.path) out << (unit < 0x80 ? static_cast<char>(unit) : '?');
    return out << (call.failed ? ") failed" : ")");
}

class SeamTest : public DeviceTest {
protected:
    // Records every fallible call but the stream reads, whose number
    // depends on the C library's buffering.
    void Trace(bool withReads = false)
    {
        calls_.clear();
        all_.clear();
        withReads_ = withReads;
        HostFaultsSetTrace(&SeamTest::Record, this);
    }
    const std::vector<Call>& Calls() const { return calls_; }

    void FailPath(HostService service, const std::u16string& path)
    {
        HostFaultPlan plan{};
        plan.matchService = service;
        std::copy(path.begin(), path.end(), plan.matchPath);
        HostFaultsArm(&plan);
    }
    void FailCall(unsigned number, bool persistent = false)
    {
        HostFaultPlan plan{};
        plan.failAtCall = number;
        plan.persistent = persistent;
        HostFaultsArm(&plan);
    }
    // The 1-based number, among all fallible calls of the traced run, of the
    // occurrence-th call of service (on path, when one is given).
    unsigned NumberOf(HostService service, const char16_t* path, unsigned occurrence = 1) const
    {
        unsigned number = 0, seen = 0;
        for (const Call& call : all_) {
            ++number;
            if (call.service == service && (!path || call.path == path) && ++seen == occurrence) return number;
        }
        ADD_FAILURE() << "no such call";
        return 0;
    }
    size_t CountOf(HostService service) const
    {
        return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(),
                                                 [&](const Call& call) { return call.service == service; }));
    }

private:
    static void Record(HostService service, const WCHAR* path, bool failed, void* context)
    {
        SeamTest* self = static_cast<SeamTest*>(context);
        Call call{service, path ? std::u16string(path) : std::u16string(), failed};
        self->all_.push_back(call);
        if (service != SERVICE_READ_STREAM || self->withReads_) self->calls_.push_back(call);
    }
    std::vector<Call> calls_;
    std::vector<Call> all_;
    bool withReads_ = false;
};

} // namespace

TEST_F(SeamTest, ClearingVisitsEachFolderInTheDocumentedOrder)
{
    WriteFile("MassStorage/d/f", "x");
    Trace();
    EXPECT_EQ(RunJob(), STATUS_SOURCE_MISSING);
    const std::vector<Call> expected = {
        {SERVICE_FIND_FIRST, u"MassStorage\\*.*", false},
        {SERVICE_FIND_FIRST, u"MassStorage\\d\\*.*", false},
        {SERVICE_DELETE_FILE, u"MassStorage\\d\\f", false},
        {SERVICE_FIND_NEXT, u"MassStorage\\d\\*.*", false},
        {SERVICE_REMOVE_DIRECTORY, u"MassStorage\\d", false},
        {SERVICE_FIND_FIRST, u"MassStorage\\d", false},
        {SERVICE_FIND_NEXT, u"MassStorage\\*.*", false},
        {SERVICE_REMOVE_DIRECTORY, u"MassStorage", false},
        {SERVICE_FIND_FIRST, u"MassStorage", false},
        {SERVICE_CREATE_DIRECTORY, u"MassStorage", false},
        {SERVICE_FIND_FIRST, u"SDMMC\\PreDLMap\\*.*", false},
        {SERVICE_FIND_FIRST, u"SDMMC\\PreDLMap", false},
    };
    EXPECT_EQ(Calls(), expected);
}

TEST_F(SeamTest, CopyingVisitsEachFolderInTheDocumentedOrder)
{
    WriteFile("SDMMC/PreDLMap/s/x.bin", "abc");
    Trace();
    EXPECT_EQ(RunJob(), STATUS_CHECKSUM_FAILED);
    const std::vector<Call> expected = {
        {SERVICE_FIND_FIRST, u"MassStorage\\*.*", false},
        {SERVICE_FIND_FIRST, u"MassStorage", false},
        {SERVICE_CREATE_DIRECTORY, u"MassStorage", false},
        {SERVICE_FIND_FIRST, u"SDMMC\\PreDLMap\\*.*", false},
        {SERVICE_CREATE_DIRECTORY, u"MassStorage\\s", false},
        {SERVICE_FIND_FIRST, u"SDMMC\\PreDLMap\\s\\*.*", false},
        {SERVICE_COPY_FILE, u"SDMMC\\PreDLMap\\s\\x.bin", false},
        {SERVICE_OPEN_STREAM, u"MassStorage\\s\\x.bin", false},
        {SERVICE_FIND_NEXT, u"SDMMC\\PreDLMap\\s\\*.*", false},
        {SERVICE_FIND_NEXT, u"SDMMC\\PreDLMap\\*.*", false},
        {SERVICE_OPEN_STREAM, u"SDMMC\\PreDLMap\\checksum.ini", false},
    };
    // The failed probe and the failed checksum open are failures of the
    // platform, not of the seam: the seam marks only what it injected.
    EXPECT_EQ(Calls(), expected);
}

struct CodeCase {
    const char* name;
    HostService service;
    const char16_t* path;
    int32_t status;
};

class SeamCodeTest : public SeamTest, public ::testing::WithParamInterface<CodeCase> {};

TEST_P(SeamCodeTest, FailureOfOneCallEndsTheJobWithItsCode)
{
    WriteFile("MassStorage/top.bin", "stale");
    WriteFile("MassStorage/d/deep.bin", "stale");
    MakeFolder("MassStorage/empty");
    WriteSealedPackage({{"one/only/f.bin", PatternBytes(2000, 1)}, {"two/g.bin", PatternBytes(10, 2)}, {"h.bin", "h"}});
    MakeFolder("SDMMC/PreDLMap/three/inner"); // a folder whose only entry is a folder
    FailPath(GetParam().service, GetParam().path);
    EXPECT_EQ(RunJob(), GetParam().status);
    EXPECT_GE(HostFaultsInjected(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, SeamCodeTest,
    ::testing::Values(
        CodeCase{"DeleteDirectlyInTarget", SERVICE_DELETE_FILE, u"MassStorage\\top.bin", STATUS_DELETE_FAILED},
        CodeCase{"DeleteDeeperInTarget", SERVICE_DELETE_FILE, u"MassStorage\\d\\deep.bin", STATUS_REMOVE_DIR_FAILED},
        CodeCase{"RemoveEmptySubfolder", SERVICE_REMOVE_DIRECTORY, u"MassStorage\\empty", STATUS_REMOVE_DIR_FAILED},
        CodeCase{"RemoveSubfolder", SERVICE_REMOVE_DIRECTORY, u"MassStorage\\d", STATUS_REMOVE_DIR_FAILED},
        CodeCase{"RemoveTargetIsNoError", SERVICE_REMOVE_DIRECTORY, u"MassStorage", STATUS_OK},
        CodeCase{"ListTarget", SERVICE_FIND_FIRST, u"MassStorage\\*.*", STATUS_DELETE_FAILED},
        CodeCase{"ListStaleFolder", SERVICE_FIND_FIRST, u"MassStorage\\d\\*.*", STATUS_REMOVE_DIR_FAILED},
        CodeCase{"ProbeEmptyStaleFolder", SERVICE_FIND_FIRST, u"MassStorage\\empty", STATUS_REMOVE_DIR_FAILED},
        CodeCase{"ListTargetPartWay", SERVICE_FIND_NEXT, u"MassStorage\\*.*", STATUS_DELETE_FAILED},
        CodeCase{"ListStaleFolderPartWay", SERVICE_FIND_NEXT, u"MassStorage\\d\\*.*", STATUS_REMOVE_DIR_FAILED},
        CodeCase{"ListPackagePartWay", SERVICE_FIND_NEXT, u"SDMMC\\PreDLMap\\*.*", STATUS_COPY_FAILED},
        CodeCase{"CreateFolderWhoseFirstEntryIsAFolder", SERVICE_CREATE_DIRECTORY, u"MassStorage\\three",
                 STATUS_CREATE_DIR_FAILED},
        CodeCase{"CreateFolderWhoseFirstEntryIsAFileBecomesCopyFailed", SERVICE_CREATE_DIRECTORY,
                 u"MassStorage\\two", STATUS_COPY_FAILED},
        CodeCase{"CopyFile", SERVICE_COPY_FILE, u"SDMMC\\PreDLMap\\one\\only\\f.bin", STATUS_COPY_FAILED},
        CodeCase{"OpenCopyForSum", SERVICE_OPEN_STREAM, u"MassStorage\\one\\only\\f.bin", STATUS_CHECKSUM_FAILED},
        CodeCase{"ReadCopyForSum", SERVICE_READ_STREAM, u"MassStorage\\one\\only\\f.bin", STATUS_CHECKSUM_FAILED},
        CodeCase{"OpenChecksumFile", SERVICE_OPEN_STREAM, u"SDMMC\\PreDLMap\\checksum.ini", STATUS_CHECKSUM_FAILED},
        CodeCase{"ReadChecksumFile", SERVICE_READ_STREAM, u"SDMMC\\PreDLMap\\checksum.ini", STATUS_CHECKSUM_FAILED}),
    [](const ::testing::TestParamInfo<CodeCase>& p) { return p.param.name; });

TEST_F(SeamTest, FailedCreationOfTheTargetIsNoErrorButItsCopiesFail)
{
    WriteSealedPackage({{"only.bin", "x"}}); // the root holds files only
    FailPath(SERVICE_CREATE_DIRECTORY, u"MassStorage");
    Trace();
    EXPECT_EQ(RunJob(), STATUS_COPY_FAILED) << "no code for the target itself; the first copy into it fails";
    EXPECT_EQ(CountOf(SERVICE_COPY_FILE), 1u);
}

TEST_F(SeamTest, SourceFolderThatCannotBeFoundStoresSourceMissing)
{
    WriteSealedPackage({{"sub/f.bin", "f"}});
    Trace();
    RunJob();
    const unsigned pattern = NumberOf(SERVICE_FIND_FIRST, u"SDMMC\\PreDLMap\\sub\\*.*");
    fs::remove_all(Root() / "MassStorage"); // the same device as the traced run
    HostFaultsReset();
    FailCall(pattern, true); // the pattern and then the probe fail
    EXPECT_EQ(RunJob(), STATUS_SOURCE_MISSING);
    EXPECT_TRUE(fs::is_directory(Root() / "MassStorage/sub"));
}

TEST_F(SeamTest, SearchThatFailsOnAnExistingSourceFolderIsACopyFailure)
{
    WriteSealedPackage({{"sub/f.bin", "f"}});
    FailPath(SERVICE_FIND_FIRST, u"SDMMC\\PreDLMap\\sub\\*.*");
    EXPECT_EQ(RunJob(), STATUS_COPY_FAILED) << "the probe finds the folder: it was not listed, not empty";
    EXPECT_TRUE(fs::is_directory(Root() / "MassStorage/sub"));
    EXPECT_FALSE(Exists("MassStorage/sub/f.bin"));
}

TEST_F(SeamTest, FolderWhoseFirstRemovalFailsAndSecondSucceedsStillStoresRemoveFailed)
{
    WriteFile("MassStorage/d/f.bin", "stale");
    WriteSealedPackage({{"a.bin", "a"}});
    Trace();
    RunJob();
    const unsigned firstRemoval = NumberOf(SERVICE_REMOVE_DIRECTORY, u"MassStorage\\d");
    fs::remove_all(Root() / "MassStorage"); // the same device as the traced run
    WriteFile("MassStorage/d/f.bin", "stale");
    HostFaultsReset();
    FailCall(firstRemoval);
    Trace();
    EXPECT_EQ(RunJob(), STATUS_REMOVE_DIR_FAILED);
    EXPECT_FALSE(Exists("MassStorage/d")) << "the second attempt removed it";
    EXPECT_EQ(CountOf(SERVICE_COPY_FILE), 0u) << "the copy stage does not start after a failure";
}

TEST_F(SeamTest, StuckFileDeepDownTriesEveryFolderOnTheWayUp)
{
    WriteFile("MassStorage/a/b/c/stuck.bin", "stale");
    WriteSealedPackage({{"a.bin", "a"}});
    FailPath(SERVICE_DELETE_FILE, u"MassStorage\\a\\b\\c\\stuck.bin");
    Trace();
    EXPECT_EQ(RunJob(), STATUS_REMOVE_DIR_FAILED);
    for (const char16_t* folder : {u"MassStorage\\a\\b\\c", u"MassStorage\\a\\b", u"MassStorage\\a", u"MassStorage"}) {
        const size_t attempts = std::count(Calls().begin(), Calls().end(), Call{SERVICE_REMOVE_DIRECTORY, folder, false});
        EXPECT_EQ(attempts, 2u) << "removal and the second attempt after the probe";
    }
    EXPECT_EQ(ReadFile("MassStorage/a/b/c/stuck.bin"), "stale");
    EXPECT_EQ(CountOf(SERVICE_OPEN_STREAM), 0u) << "the checksum file is not opened after a failure";
}

TEST_F(SeamTest, NoFurtherEntryIsTakenAfterAFailure)
{
    std::vector<PackageFile> files;
    for (unsigned i = 0; i < 20; ++i) files.push_back({"f" + std::to_string(i) + ".bin", PatternBytes(10, i)});
    WriteSealedPackage(files);
    Trace();
    RunJob();
    // The third copy, whichever file the host enumerates third.
    const unsigned thirdCopy = NumberOf(SERVICE_COPY_FILE, nullptr, 3);
    fs::remove_all(Root() / "MassStorage");
    HostFaultsReset();
    FailCall(thirdCopy);
    Trace();
    EXPECT_EQ(RunJob(), STATUS_COPY_FAILED);
    EXPECT_EQ(CountOf(SERVICE_COPY_FILE), 3u);
    EXPECT_EQ(Snap("MassStorage").size(), 2u) << "the two files copied before the failure stay";
}

TEST_F(SeamTest, PersistentReadErrorsNeverPassAsAMatch)
{
    WriteSealedPackage({{"a.bin", PatternBytes(3000, 1)}});
    Trace(true);
    RunJob();
    fs::remove_all(Root() / "MassStorage");
    HostFaultsReset();
    // Every read fails from the first one on: the sum and the number would
    // both come out 0.
    FailCall(NumberOf(SERVICE_READ_STREAM, nullptr), true);
    EXPECT_EQ(RunJob(), STATUS_CHECKSUM_FAILED);

    // A read error on the checksum file after its last byte still counts.
    fs::remove_all(Root() / "MassStorage");
    HostFaultsReset();
    Trace(true);
    RunJob();
    const unsigned checksumReads = static_cast<unsigned>(std::count_if(Calls().begin(), Calls().end(), [](const Call& call) {
        return call.service == SERVICE_READ_STREAM && call.path == u"SDMMC\\PreDLMap\\checksum.ini";
    }));
    ASSERT_GE(checksumReads, 2u) << "the number's bytes and the end of the file";
    const unsigned endOfFile = NumberOf(SERVICE_READ_STREAM, u"SDMMC\\PreDLMap\\checksum.ini", checksumReads);
    fs::remove_all(Root() / "MassStorage");
    HostFaultsReset();
    FailCall(endOfFile);
    EXPECT_EQ(RunJob(), STATUS_CHECKSUM_FAILED);
}
