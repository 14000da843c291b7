// pelk-mapcopy write in this process, with its table of file calls in the
// test's hands: every flush, rename, removal, creation and write on the card
// fails in turn, the read-back is made to differ, and (Linux) the process is
// killed before each on-card call. After each, the card holds its old
// package or the new one whole (or, between the two renames, the old one
// whole aside), the verdict says which, and the next write ends exact.
#if defined(_WIN32)
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <signal.h>
#  include <sys/mount.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "InProcessTool.h"
#include "ToolOutput.h"
#include "ToolPlatform.h"

namespace {

using tool::g_fileCalls;
using tool::Handle;
using tool::kFileCalls;

#if defined(_WIN32)
constexpr int kNoExchange = 50; // ERROR_NOT_SUPPORTED
#else
constexpr int kNoExchange = 22; // EINVAL
#endif

// The calls that change the card, counted in the order write makes them.
enum class Call { MakeFolder, Create, Write, Sync, Rename, Remove, Any };

struct Plan {
    Call call = Call::Any;
    int at = 0;          // the call to act on, from 1; 0: none, only count
    bool kill = false;      // the process ends before the call (else it fails)
    bool interrupt = false; // SIGINT to the process, then the call goes on
    bool noExchange = false;
    bool readBackDiffers = false;
    fs::path changeInPackage; // changed in place as the first folder is made on the card
    int counted = 0;
    std::vector<Handle> fromTheVolume; // under g_volumeLock: the interrupt reads beside the workers
};
Plan g_plan;

// True when this call is the one to act on; a kill ends the process here.
bool Strike(Call call)
{
    if (g_plan.call != Call::Any && g_plan.call != call) return false;
    if (++g_plan.counted != g_plan.at) return false;
#if defined(_WIN32)
    if (g_plan.kill) TerminateProcess(GetCurrentProcess(), 137);
#else
    if (g_plan.kill) _exit(137);
    if (g_plan.interrupt) {
        kill(getpid(), SIGINT);
        return false;
    }
#endif
    return true;
}

// The package's own file changed after write checked it, before its copy
// is read (no package file is open then: Windows shares none for writing):
// the same file, one byte other.
void ChangePackageFile()
{
    std::fstream file(g_plan.changeInPackage, std::ios::in | std::ios::out | std::ios::binary);
    const int first = file.get();
    file.seekp(0);
    file.put(static_cast<char>(first ^ 0x20));
    g_plan.changeInPackage.clear();
}

std::mutex g_volumeLock;

int Open(Handle folder, const fs::path& name, tool::OpenAs as, Handle* opened)
{
    if (as == tool::OpenAs::CreateNew && Strike(Call::Create)) return kInjected;
    const int error = kFileCalls.open(folder, name, as, opened);
    if (!error && as == tool::OpenAs::ReadFromVolume) {
        std::lock_guard<std::mutex> guard(g_volumeLock);
        g_plan.fromTheVolume.push_back(*opened);
    }
    return error;
}

int Read(Handle file, void* bytes, size_t count, size_t* got)
{
    const int error = kFileCalls.read(file, bytes, count, got);
    std::lock_guard<std::mutex> guard(g_volumeLock);
    const auto& volume = g_plan.fromTheVolume;
    if (!error && *got && g_plan.readBackDiffers && std::find(volume.begin(), volume.end(), file) != volume.end())
        static_cast<unsigned char*>(bytes)[*got / 2] ^= 0x20; // what a failing card gives back
    return error;
}

int Close(Handle handle)
{
    {
        std::lock_guard<std::mutex> guard(g_volumeLock);
        auto& volume = g_plan.fromTheVolume;
        volume.erase(std::remove(volume.begin(), volume.end(), handle), volume.end());
    }
    return kFileCalls.close(handle);
}

int WriteSome(Handle file, const void* bytes, size_t count, size_t* written)
{
    return Strike(Call::Write) ? kInjected : kFileCalls.write(file, bytes, count, written);
}

int Sync(Handle handle) { return Strike(Call::Sync) ? kInjected : kFileCalls.sync(handle); }

int SyncVolume(Handle folder)
{
    // The two-rename rows stand for a FUSE volume: no flush of the whole.
    if (g_plan.noExchange) return kNoExchange;
    return Strike(Call::Sync) ? kInjected : kFileCalls.syncVolume(folder);
}

int MakeCardFolder(Handle folder, const fs::path& name)
{
    if (!g_plan.changeInPackage.empty()) ChangePackageFile();
    return Strike(Call::MakeFolder) ? kInjected : kFileCalls.makeFolder(folder, name);
}

int Rename(Handle folder, const fs::path& from, const fs::path& to, tool::RenameAs as)
{
    // As a volume behind FUSE, or Windows, answers an exchange.
    if (as == tool::RenameAs::Exchange && g_plan.noExchange) return kNoExchange;
    return Strike(Call::Rename) ? kInjected : kFileCalls.rename(folder, from, to, as);
}

int Remove(Handle folder, const fs::path& name, bool isFolder)
{
    return Strike(Call::Remove) ? kInjected : kFileCalls.remove(folder, name, isFolder);
}

class WriteAliasTest : public InProcessTest {};

enum class Path { Exchange, TwoRenames, InPlace };

struct PathCase {
    const char* name;
    Path path;
};
struct FailCase {
    const char* name;
    Path path;
    Call call;
};


const std::vector<PackageFile> kOld = {
    {"PreDLVerno.ini", "[Version]\r\nMap=2026.06\r\n"},
    {"Map/Europe/DE.map", PatternBytes(70000, 7)},
    {"Map/old.idx", PatternBytes(300, 8)},
};
const std::vector<PackageFile>& kNew = kCardPackage;

class WriteCardTest : public InProcessTest {
protected:
    void SetUp() override
    {
        InProcessTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(Sealed("pkg", kNew));
        ASSERT_NO_FATAL_FAILURE(Sealed("old", kOld));
        newPackage_ = Snap("pkg/PreDLMap");
        oldPackage_ = Snap("old/PreDLMap");
    }
    void TearDown() override
    {
        g_plan = Plan();
        InProcessTest::TearDown();
    }

    // A card holding the old package and its manifest.
    void OldCard()
    {
        RemoveTree("card");
        MakeFolder("card");
        fs::copy(Root() / "old/PreDLMap", Root() / "card/PreDLMap", fs::copy_options::recursive);
        WriteFile("card/PreDLMap.sha256", ReadFile("old/PreDLMap.sha256"));
    }

    std::vector<std::string> Arguments() const
    {
        // A plain folder stands for the card: any volume.
        if (path_ == Path::InPlace) return {"write", "--any-volume", "--in-place", "pkg/PreDLMap", "card"};
        return {"write", "--any-volume", "pkg/PreDLMap", "card"};
    }

    void Arm(const Plan& plan)
    {
        g_plan = plan;
        g_plan.noExchange = path_ == Path::TwoRenames;
        g_fileCalls.open = Open;
        g_fileCalls.read = Read;
        g_fileCalls.close = Close;
        g_fileCalls.write = WriteSome;
        g_fileCalls.sync = Sync;
        g_fileCalls.syncVolume = SyncVolume;
        g_fileCalls.makeFolder = MakeCardFolder;
        g_fileCalls.rename = Rename;
        g_fileCalls.remove = Remove;
    }

    // What the card holds, in the verdict's words; fails the test on a card
    // that holds neither package (the marker of an in-place write aside).
    std::string Holds()
    {
        const Snapshot live = Snap("card/PreDLMap");
        const bool marked = Exists("card/PreDLMap.pelk-incomplete");
        std::string manifest = Exists("card/PreDLMap.sha256") ? ReadFile("card/PreDLMap.sha256") : "";
        if (!Exists("card/PreDLMap") && Snap("card/PreDLMap.pelk-old") == oldPackage_ && !marked) {
            EXPECT_TRUE(manifest.empty()) << "a manifest beside no package";
            return "has no PreDLMap, its old package set aside whole";
        }
        if (marked) return "holds no package to trust";
        if (live == newPackage_) {
            EXPECT_TRUE(manifest.empty() || manifest == ReadFile("pkg/PreDLMap.sha256")) << "a wrong manifest";
            return "holds the new package";
        }
        if (live == oldPackage_) {
            EXPECT_TRUE(manifest.empty() || manifest == ReadFile("old/PreDLMap.sha256")) << "a wrong manifest";
            return "holds its old package, whole";
        }
        ADD_FAILURE() << "the card holds neither package";
        return "neither";
    }

    // The next write, with every call real, ends with the package exact.
    void ExpectTheRerunExact(const std::string& context)
    {
        g_fileCalls = kFileCalls;
        EXPECT_EQ(Tool(Arguments()), 0) << context << "\n" << out_;
        EXPECT_EQ(Snap("card/PreDLMap"), newPackage_) << context;
        EXPECT_EQ(ReadFile("card/PreDLMap.sha256"), ReadFile("pkg/PreDLMap.sha256")) << context;
        for (const char* leftover : {"PreDLMap.pelk-new", "PreDLMap.pelk-old", "PreDLMap.pelk-incomplete",
                                     "PreDLMap.sha256.pelk-new"})
            EXPECT_FALSE(Exists(std::string("card/") + leftover)) << context << ": " << leftover;
    }

    // The calls of a kind a clean write makes.
    int CountCalls(Call call)
    {
        OldCard();
        Plan count;
        count.call = call;
        Arm(count);
        EXPECT_EQ(Tool(Arguments()), 0) << out_;
        const int counted = g_plan.counted;
        g_fileCalls = kFileCalls;
        return counted;
    }

    // A write in a process of its own that the plan stops at a call: its
    // exit code (-1 if it did not exit), its stderr in .err. Linux forks;
    // Windows runs this program again for this one test, which PELK_STOP_AT
    // and PELK_STOP_ROOT make the stopped write (StoppedWrite).
    int Stopped(const Plan& plan)
    {
        OldCard();
#if defined(_WIN32)
        const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        _putenv_s("PELK_STOP_AT", std::to_string(plan.at).c_str());
        _putenv_s("PELK_STOP_ROOT", Root().u8string().c_str());
        const std::string line = "\"\"" + fs::path(self).u8string() + "\" --gtest_filter=" +
                                 info->test_suite_name() + "." + info->name() + " >NUL 2>.err\"";
        const int code = std::system(line.c_str());
        _putenv_s("PELK_STOP_AT", "");
        return code;
#else
        return Reaped(ForkMain(Arguments(), "", ".err", [&] { Arm(plan); }));
#endif
    }

    // In the process Stopped started on Windows: true when this is it.
    bool StoppedWrite()
    {
        const char* at = getenv("PELK_STOP_AT");
        if (!at || !*at) return false;
        fs::current_path(fs::u8path(getenv("PELK_STOP_ROOT")));
        Plan plan;
        plan.at = atoi(at);
        plan.kill = true;
        Arm(plan);
        tool::Main(Arguments());
        ADD_FAILURE() << "the write was not stopped at call " << at;
        return true;
    }

    Path path_ = Path::Exchange;
    Snapshot newPackage_, oldPackage_;
};

class WriteFailTest : public WriteCardTest, public ::testing::WithParamInterface<FailCase> {
protected:
    void SetUp() override
    {
        path_ = GetParam().path;
        WriteCardTest::SetUp();
    }
};

class WritePathTest : public WriteCardTest, public ::testing::WithParamInterface<PathCase> {
protected:
    void SetUp() override
    {
        path_ = GetParam().path;
        WriteCardTest::SetUp();
    }
};

TEST_P(WriteFailTest, EachCallOnTheCardFailingLeavesAWholePackageTheVerdictNames)
{
    const int calls = CountCalls(GetParam().call);
    ASSERT_GT(calls, 0);
    for (int at = 1; at <= calls; ++at) {
        const std::string context = std::string(GetParam().name) + " call " + std::to_string(at);
        OldCard();
        Plan plan;
        plan.call = GetParam().call;
        plan.at = at;
        Arm(plan);
        const int code = Tool(Arguments());
        const std::string holds = Holds();
        // No failure is shrugged off: each was a step the card needed.
        EXPECT_EQ(code, 74) << context << "\n" << out_;
        EXPECT_TRUE(Has(out_, "NOT GOOD: card: ")) << context << "\n" << out_;
        EXPECT_TRUE(Has(out_, "; it " + holds)) << context << "\n" << out_;
        EXPECT_TRUE(Has(out_, "repair it with fsck.fat -a")) << context << "\n" << out_;
        ExpectTheRerunExact(context);
    }
}

TEST_P(WritePathTest, AKillBeforeEachCallOnTheCardLeavesAWholePackage)
{
    if (StoppedWrite()) return;
    const int calls = CountCalls(Call::Any);
    ASSERT_GT(calls, 0);
    for (int at = 1; at <= calls; ++at) {
        const std::string context = std::string(GetParam().name) + " call " + std::to_string(at);
        Plan plan;
        plan.at = at;
        plan.kill = true;
        ASSERT_EQ(Stopped(plan), 137) << context;
        Holds();
        ExpectTheRerunExact(context);
    }
}

#if !defined(_WIN32)
// SIGINT as each on-card call begins: the call and the step it is in end,
// no other starts, and the report says what the card holds, looked at.
TEST_P(WritePathTest, CtrlCAtEachCallOnTheCardIsReportedAsTheCardIs)
{
    const int calls = CountCalls(Call::Any);
    ASSERT_GT(calls, 0);
    int reported = 0;
    for (int at = 1; at <= calls; ++at) {
        const std::string context = std::string(GetParam().name) + " call " + std::to_string(at);
        Plan plan;
        plan.at = at;
        plan.interrupt = true;
        const int code = Stopped(plan);
        const std::string holds = Holds();
        const std::string err = ReadFile(".err");
        if (code == 0) { // the write had ended before the interrupt was taken
            EXPECT_EQ(holds, "holds the new package") << context;
            continue;
        }
        ++reported;
        EXPECT_EQ(code, 130) << context << "\n" << err;
        EXPECT_TRUE(Has(err, "  card: " + holds)) << context << "\n" << err;
        ExpectTheRerunExact(context);
    }
    printf("%d of %d interrupts reported before the write ended\n", reported, calls);
    EXPECT_GT(reported, calls / 2);
}
#endif

// A read-back that differs from the manifest: the card is blamed while the
// package's own file still matches it, the package once it does not.
struct ReadBackRow {
    const char* name;
    bool packageChanged; // else the card gives back other bytes
    int code;
    const char* says;
    const char* never;
};
const ReadBackRow kReadBackRows[] = {
    {"card", false, 74, " differs from the package's manifest: the card may not hold what it claims",
     "the package changed"},
    {"package", true, 65,
     "NOT GOOD: card: the package changed while it was written: its Map/Europe/DE.map no longer matches its "
     "manifest; restore the package, or check it and seal it again, then write again; it ",
     "the card may not hold"},
};

TEST_P(WritePathTest, AReadBackThatDiffersLeavesTheOldPackage)
{
    const std::string tile = "pkg/PreDLMap/Map/Europe/DE.map";
    const std::string sealed = ReadFile(tile);
    for (const ReadBackRow& row : kReadBackRows) {
        OldCard();
        Plan plan;
        plan.readBackDiffers = !row.packageChanged;
        if (row.packageChanged) plan.changeInPackage = Root() / tile;
        Arm(plan);
        EXPECT_EQ(Tool(Arguments()), row.code) << row.name << "\n" << out_;
        EXPECT_TRUE(Has(out_, row.says)) << row.name << "\n" << out_;
        EXPECT_EQ(out_.find(row.never), std::string::npos) << row.name << "\n" << out_;
        if (path_ == Path::InPlace) {
            EXPECT_EQ(Holds(), "holds no package to trust") << row.name;
        } else {
            EXPECT_EQ(Holds(), "holds its old package, whole") << row.name;
            EXPECT_TRUE(Has(out_, "; it holds its old package, whole"));
        }
        if (row.packageChanged) {
            ASSERT_NE(ReadFile(tile), sealed) << "the package was never changed";
            WriteFile(tile, sealed);
        }
        ExpectTheRerunExact(std::string("after the read-back differed: ") + row.name);
    }
}

// What the platform reports of the card's volume: its file system, or that
// it cannot tell. The card "other" beside it is always FAT.
struct VolumeCase {
    const char* name;
    bool answers;
    tool::FileSystemKind reported;
    bool anyVolume;
    int code;
    const char* says;
};
const VolumeCase* g_volume = nullptr;

bool ReportedFileSystem(const fs::path& folder, tool::FileSystemKind* kind, std::string* why)
{
    if (folder.filename() != "card") {
        *kind = {true, "FAT32"};
        return true;
    }
    if (!g_volume->answers) *why = "the volume does not answer";
    *kind = g_volume->reported;
    return g_volume->answers;
}

class WriteVolumeTest : public WriteCardTest, public ::testing::WithParamInterface<VolumeCase> {};

TEST_P(WriteVolumeTest, OnlyAFatCardIsWrittenUnlessAnyVolume)
{
    g_volume = &GetParam();
    tool::g_volumeCalls.fileSystem = ReportedFileSystem;
    OldCard();
    MakeFolder("other");
    const Snapshot before = Snap("card");
    std::vector<std::string> arguments = {"write", "pkg/PreDLMap", "card", "other"};
    if (GetParam().anyVolume) arguments.insert(arguments.begin() + 1, "--any-volume");
    EXPECT_EQ(Tool(arguments), GetParam().code) << out_;
    EXPECT_TRUE(Has(out_, GetParam().says));
    if (GetParam().code == 0) {
        EXPECT_EQ(Snap("card/PreDLMap"), newPackage_);
    } else {
        EXPECT_EQ(Snap("card"), before);
        EXPECT_TRUE(Has(out_, "1 of 2 cards good"));
    }
    EXPECT_EQ(Snap("other/PreDLMap"), newPackage_);
}

INSTANTIATE_TEST_SUITE_P(
    Volumes, WriteVolumeTest,
    ::testing::Values(
        VolumeCase{"ExFat", true, {false, "exFAT"}, false, 64,
                   "NOT GOOD: card: its volume is exFAT, not FAT: the device reads FAT cards only; card untouched "
                   "(--any-volume writes it anyway)"},
        VolumeCase{"Ntfs", true, {false, "NTFS"}, false, 64, "NOT GOOD: card: its volume is NTFS, not FAT"},
        VolumeCase{"Fat32", true, {true, "FAT32"}, false, 0, "good: card holds the package"},
        VolumeCase{"ExFatAnyVolume", true, {false, "exFAT"}, true, 0, "good: card holds the package"},
        VolumeCase{"NoAnswer", false, {}, false, 66,
                   "NOT GOOD: cannot tell the file system of the card card: the volume does not answer; card "
                   "untouched"}),
    ByName());

#if defined(_WIN32)
// A drive's root as the card, written new and then over its old package: the
// root keeps its backslash ("W:" alone is the current folder on W:), and no
// path on it doubles one. Wine's W: is the host cards' folder drive-w
// (ToolTest.MakeDriveCard), where the package must then be.
TEST_F(WriteCardTest, ADrivesRootIsACard)
{
    const char* cards = getenv("PELK_HOST_CARDS");
    if (!cards) GTEST_SKIP() << "PELK_HOST_CARDS names no folder of cards the build host made";
    const std::string root = "W:\\";
    const std::string folder = std::string(cards) + "/drive-w/";
    for (const auto& entry : fs::directory_iterator(fs::u8path(folder))) fs::remove_all(entry.path());
    for (int round = 1; round <= 2; ++round) {
        EXPECT_EQ(Tool({"write", "--any-volume", "pkg/PreDLMap", root}), 0) << out_;
        EXPECT_TRUE(Has(out_, "good: " + root + " holds the package"));
        EXPECT_EQ(Snap(folder + "PreDLMap"), newPackage_) << "round " << round;
        EXPECT_EQ(ReadFile(folder + "PreDLMap.sha256"), ReadFile("pkg/PreDLMap.sha256")) << "round " << round;
    }
}
#endif

#if !defined(_WIN32)
// A rename cut off on FAT can leave one folder under two names. Here a bind
// mount of the live package stands for the second: removing it would empty
// the package, so the write refuses and removes nothing.
TEST_F(WriteAliasTest, ALeftoverThatIsThePackageUnderASecondNameIsNotRemoved)
{
    ASSERT_NO_FATAL_FAILURE(Sealed("pkg", kNew));
    for (const PackageFile& file : kOld) WriteFile("card/PreDLMap/" + file.path, file.bytes);
    std::string why;
    if (!Mount("card/PreDLMap.pelk-old", (Root() / "card/PreDLMap").string(), "none", MS_BIND, nullptr, &why))
        GTEST_SKIP() << "cannot bind-mount here (" << why << "); needs root and mount rights";
    const Snapshot old = Snap("card/PreDLMap");
    EXPECT_EQ(Tool({"write", "--any-volume", "pkg/PreDLMap", "card"}), 74) << out_;
    EXPECT_TRUE(Has(out_, "PreDLMap.pelk-old and PreDLMap are one entry under two names"));
    EXPECT_EQ(Snap("card/PreDLMap"), old);
}
#endif

#if !defined(_WIN32)
// The card is unmounted (lazily, as a pulled card's mount goes) as the
// write creates its first folder on it: the write goes on, on the card it
// holds open, and never on the folder left below the mount point; the card
// is not called good.
TEST_F(WriteCardTest, ACardUnmountedMidWriteIsNotGoodAndNothingLandsBelowIt)
{
    std::string why;
    if (!Mount("card", "tmpfs", "tmpfs", 0, "size=8m", &why))
        GTEST_SKIP() << "cannot mount a tmpfs here (" << why << "); needs root and mount rights";
    static fs::path s_card;
    s_card = Root() / "card";
    g_fileCalls.makeFolder = [](Handle folder, const fs::path& name) {
        if (!s_card.empty()) umount2(s_card.c_str(), MNT_DETACH);
        s_card.clear();
        return kFileCalls.makeFolder(folder, name);
    };
    EXPECT_EQ(Tool({"write", "--any-volume", "pkg/PreDLMap", "card"}), 74);
    EXPECT_TRUE(Has(out_, "NOT GOOD: card: the card folder is no longer the one this write locked"));
    EXPECT_TRUE(Has(out_, "0 of 1 cards good"));
    EXPECT_TRUE(Snap("card").empty()) << "written below the mount point";
}
#endif

INSTANTIATE_TEST_SUITE_P(
    Calls, WriteFailTest,
    ::testing::Values(FailCase{"ExchangeSync", Path::Exchange, Call::Sync},
                      FailCase{"ExchangeRename", Path::Exchange, Call::Rename},
                      FailCase{"ExchangeRemove", Path::Exchange, Call::Remove},
                      FailCase{"ExchangeCreate", Path::Exchange, Call::Create},
                      FailCase{"ExchangeWrite", Path::Exchange, Call::Write},
                      FailCase{"ExchangeMakeFolder", Path::Exchange, Call::MakeFolder},
                      FailCase{"TwoRenamesSync", Path::TwoRenames, Call::Sync},
                      FailCase{"TwoRenamesRename", Path::TwoRenames, Call::Rename},
                      FailCase{"TwoRenamesRemove", Path::TwoRenames, Call::Remove},
                      FailCase{"InPlaceSync", Path::InPlace, Call::Sync},
                      FailCase{"InPlaceRemove", Path::InPlace, Call::Remove},
                      FailCase{"InPlaceCreate", Path::InPlace, Call::Create}),
    ByName());

INSTANTIATE_TEST_SUITE_P(Paths, WritePathTest,
                         ::testing::Values(PathCase{"Exchange", Path::Exchange},
                                           PathCase{"TwoRenames", Path::TwoRenames},
                                           PathCase{"InPlace", Path::InPlace}),
                         ByName());

} // namespace

// seal writes checksum.ini as it writes the manifest: a new file flushed and
// renamed over the old. A volume that takes no byte, or a read-only
// checksum.ini (refused as Win32's _wfopen refuses it), fails seal with 74
// and leaves the old file as it was, in its own letter case.
class SealChecksumFault : public DeviceTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SealChecksumFault, LeavesTheOldChecksumFile)
{
    WriteFile("pkg/PreDLMap/a.map", "abc");
    WriteFile("pkg/PreDLMap/CHECKSUM.INI", "1\r\n");
    SetReadOnly("pkg/PreDLMap/CHECKSUM.INI", GetParam());
    if (!GetParam()) g_fileCalls.write = [](Handle, const void*, size_t, size_t* written) { return *written = 0, 0; };
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int code = tool::Main({"seal", "--force", "pkg/PreDLMap"}); // a read-only file is a finding
    ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    g_fileCalls = kFileCalls;
    fs::current_path(Root());
    SetReadOnly("pkg/PreDLMap/CHECKSUM.INI", false);
    EXPECT_EQ(code, 74) << err;
    EXPECT_NE(err.find("cannot write"), std::string::npos) << err;
    EXPECT_EQ(ReadFile("pkg/PreDLMap/CHECKSUM.INI"), "1\r\n");
    EXPECT_EQ(Snap("pkg/PreDLMap").size(), 2u) << "no checksum.ini.new, nor a second checksum file";
}

INSTANTIATE_TEST_SUITE_P(Seal, SealChecksumFault, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& row) {
                             return std::string(row.param ? "ReadOnlyChecksumFile" : "VolumeTakesNoByte");
                         });
