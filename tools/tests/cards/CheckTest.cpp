// pelk-mapcopy check in this process: four cards written by write, one of
// them spoiled as a row says; check must name that card (and the file) and
// call the others good, log one JSON line a card, and change nothing. The
// file calls' table in the test's hands: every card file read from the
// volume, a fault that strikes one card alone.
#if !defined(_WIN32)
#  include <fcntl.h>
#  include <signal.h>
#  include <sys/file.h>
#  include <sys/stat.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "InProcessTool.h"
#include "ToolOutput.h"
#include "ToolPlatform.h"

namespace {

using tool::g_fileCalls;
using tool::Handle;
using tool::kFileCalls;

const char* const kCards[] = {"c1", "c2", "c3", "c4"};

const std::vector<PackageFile>& kPackage = kCardPackage;

class CheckTest : public InProcessTest {
public:
    void Write(const std::string& relative, const std::string& bytes) { WriteFile(relative, bytes); }
    void Remove(const std::string& relative) { RemoveTree(relative); }
    std::string Read(const std::string& relative) const { return ReadFile(relative); }

protected:
    // The package sealed and written onto four folder cards.
    void SetUp() override
    {
        InProcessTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(Sealed("pkg", kPackage));
        for (const char* card : kCards) MakeFolder(card);
        ASSERT_EQ(Tool({"write", "--any-volume", "pkg/PreDLMap", "c1", "c2", "c3", "c4"}), 0) << out_;
    }

    int CheckAll() { return Tool({"check", "--log", "check.jsonl", "c1", "c2", "c3", "c4"}); }

    // Every card but `spoiled` called good, once.
    void ExpectTheOthersGood(const std::string& spoiled)
    {
        for (const char* card : kCards) {
            const std::string good = std::string("good: ") + card + " holds exactly its manifest's 6 files";
            EXPECT_EQ(Count(out_, good), card == spoiled ? 0u : 1u) << card << "\n" << out_;
        }
    }
};

// A card spoiled after it was written, and what check must say of it.
struct SpoilRow {
    const char* name;
    void (*spoil)(CheckTest*); // on c3
    int code;
    const char* says;                  // in c3's verdict
    const char* never;                 // nowhere in stdout
    std::vector<std::string> differing; // the log's, for c3
};

class CheckSpoiledCard : public CheckTest, public ::testing::WithParamInterface<SpoilRow> {};

TEST_P(CheckSpoiledCard, NamesThatCardAloneAndChangesNothing)
{
    const SpoilRow& row = GetParam();
    row.spoil(this);
    std::map<std::string, Snapshot> before;
    for (const char* card : kCards) before[card] = Snap(card);

    EXPECT_EQ(CheckAll(), row.code) << out_ << err_;
    const size_t verdict = out_.find("NOT GOOD: c3: ");
    const std::string c3 = verdict == std::string::npos ? "" : out_.substr(verdict, out_.find('\n', verdict) - verdict);
    EXPECT_TRUE(Has(c3, row.says)) << out_;
    if (*row.never) {
        EXPECT_EQ(out_.find(row.never), std::string::npos) << out_;
    }
    ExpectTheOthersGood("c3");
    EXPECT_TRUE(Has(out_, "3 of 4 cards good\n"));
    EXPECT_EQ(Count(out_, "\n"), 5u) << "one line a card, then the count:\n" << out_;
    for (const char* card : kCards) EXPECT_EQ(Snap(card), before[card]) << card << " changed";
    EXPECT_TRUE(Has(err_, "c1: reading "));

    const std::vector<nlohmann::json> log = LogRecords("check.jsonl");
    ASSERT_EQ(log.size(), 4u);
    const unsigned long sealedSum = std::stoul(Read("pkg/PreDLMap/checksum.ini"), nullptr, 16);
    const std::string manifestSha256 = tool::Sha256Of(Read("pkg/PreDLMap.sha256"));
    for (size_t i = 0; i < log.size(); ++i) {
        const nlohmann::json& line = log[i];
        ASSERT_TRUE(line.is_object()) << i;
        const bool spoiled = line["card"] == "c3";
        EXPECT_EQ(line["card"], kCards[i]);
        EXPECT_EQ(line["command"], "check");
        EXPECT_EQ(line["code"], spoiled ? row.code : 0) << line;
        EXPECT_EQ(line["result"], spoiled ? "not good" : "good") << line;
        for (const char* field : {"started", "ended", "label", "serial", "file_system", "path"})
            EXPECT_TRUE(line.contains(field)) << field << ": " << line;
        if (spoiled) {
            EXPECT_NE(line["reason"].get<std::string>().find(row.says), std::string::npos) << line;
            if (row.differing.empty()) {
                EXPECT_FALSE(line.contains("differing")) << line;
            } else {
                EXPECT_EQ(line["differing"], row.differing) << line;
            }
            continue;
        }
        EXPECT_TRUE(line["reason"].is_null()) << line;
        EXPECT_FALSE(line.contains("differing")) << line;
        EXPECT_EQ(line["package_version"], "[Version]");
        EXPECT_EQ(line["manifest_sha256"], manifestSha256);
        EXPECT_EQ(std::stoul(line["package_sum"].get<std::string>(), nullptr, 16), sealedSum) << line;
        EXPECT_EQ(line["files"], 6);
        EXPECT_EQ(line["phase"], "done");
    }
}

const char kRejected[] = "the device would reject it";

INSTANTIATE_TEST_SUITE_P(
    Rows, CheckSpoiledCard,
    ::testing::Values(
        // Two different bytes of one file swapped: the device's sum holds, the manifest does not.
        SpoilRow{"TwoBytesSwapped",
                 [](CheckTest* test) {
                     const std::string file = "c3/PreDLMap/Map/Europe/FR.map";
                     std::string bytes = test->Read(file);
                     const size_t other = bytes.find_first_not_of(bytes[0]);
                     ASSERT_NE(other, std::string::npos);
                     std::swap(bytes[0], bytes[other]);
                     ASSERT_EQ(ModelByteSum(bytes), ModelByteSum(test->Read(file)));
                     test->Write(file, bytes);
                 },
                 65, "1 file differs from its manifest PreDLMap.sha256 (changed: Map/Europe/FR.map)",
                 kRejected, {"Map/Europe/FR.map"}},
        SpoilRow{"FileRemoved", [](CheckTest* test) { test->Remove("c3/PreDLMap/Poi/fuel.csv"); }, 65,
                 "(missing: Poi/fuel.csv); the device would reject it (6 STATUS_CHECKSUM_FAILED): its files sum to ",
                 "", {"Poi/fuel.csv"}},
        SpoilRow{"FileAdded", [](CheckTest* test) { test->Write("c3/PreDLMap/Map/extra.map", "x"); }, 65,
                 "(added: Map/extra.map); the device would reject it (6 STATUS_CHECKSUM_FAILED): its files sum to",
                 "", {"Map/extra.map"}},
        SpoilRow{"UnsummedFileChanged",
                 [](CheckTest* test) { test->Write("c3/PreDLMap/PreDLVerno.ini", "[Version]\r\nMap=2099.01\r\n"); },
                 65, "(changed: PreDLVerno.ini); pelk-mapcopy write PACKAGE_DIR c3 writes it again", kRejected,
                 {"PreDLVerno.ini"}},
        SpoilRow{"ChecksumRemoved", [](CheckTest* test) { test->Remove("c3/PreDLMap/checksum.ini"); }, 65,
                 "its PreDLMap holds no checksum.ini", "", {"checksum.ini"}},
        // A manifest of other files: the card as written, but not as its manifest says.
        SpoilRow{"ManifestOfOtherFiles",
                 [](CheckTest* test) {
                     test->Write("c3/PreDLMap.sha256", std::string(64, '0') + "  checksum.ini\n");
                 },
                 65, "6 files differ from its manifest PreDLMap.sha256 (changed: checksum.ini, added: ", kRejected,
                 {"checksum.ini", "Map/Europe/DE.map", "Map/Europe/FR.map", "Map/Europe/empty.idx", "Poi/fuel.csv",
                  "PreDLVerno.ini"}},
        SpoilRow{"NoManifest", [](CheckTest* test) { test->Remove("c3/PreDLMap.sha256"); }, 64,
                 "holds no manifest PreDLMap.sha256 beside its PreDLMap", "", {}},
        SpoilRow{"ManifestIsNone", [](CheckTest* test) { test->Write("c3/PreDLMap.sha256", "junk\n"); }, 65,
                 "its PreDLMap.sha256 is no manifest (line 1 is no sha256sum line)", "", {}},
        SpoilRow{"NoPackage", [](CheckTest* test) { test->Remove("c3/PreDLMap"); }, 64,
                 "holds no PreDLMap: no package was written on it", "", {}},
        SpoilRow{"PackageIsAFile",
                 [](CheckTest* test) {
                     test->Remove("c3/PreDLMap");
                     test->Write("c3/PreDLMap", "a file");
                 },
                 64, "PreDLMap on the card is no folder", "", {}},
        SpoilRow{"ADeviceRoot",
                 [](CheckTest* test) {
                     test->Remove("c3");
                     test->Write("c3/SDMMC/PreDLMap/Map/a.map", "a");
                 },
                 64, "it is a device root, and its card folder is ", "", {}},
        SpoilRow{"InPlaceWriteStopped", [](CheckTest* test) { test->Write("c3/PreDLMap.pelk-incomplete", ""); }, 65,
                 "holds PreDLMap.pelk-incomplete: not a finished write (an --in-place write did not finish", "", {}},
        SpoilRow{"StagedPackageLeft", [](CheckTest* test) { test->Write("c3/PreDLMap.pelk-new/Map/a.map", "a"); }, 65,
                 "holds PreDLMap.pelk-new: not a finished write", "", {}},
        SpoilRow{"OldPackageAside",
                 [](CheckTest* test) {
                     test->Remove("c3/PreDLMap.sha256");
                     fs::rename("c3/PreDLMap", "c3/PreDLMap.pelk-old");
                 },
                 65, "holds PreDLMap.pelk-old: not a finished write", "", {}},
        SpoilRow{"CardGone", [](CheckTest* test) { test->Remove("c3"); }, 66, "cannot open the card folder: ", "", {}}),
    ByName());

TEST_F(CheckTest, FourGoodCardsExitZero)
{
    EXPECT_EQ(CheckAll(), 0) << out_;
    ExpectTheOthersGood("");
    EXPECT_TRUE(Has(out_, "4 of 4 cards good\n"));
}

// A card named a second time, through another path: read once, the repeat said.
TEST_F(CheckTest, ACardNamedTwiceIsCheckedOnce)
{
    const std::string again = fs::path("c1/.").make_preferred().u8string();
    EXPECT_EQ(Tool({"check", "c1", again, "c2"}), 64) << out_;
    EXPECT_EQ(Count(out_, "good: c1 holds"), 1u) << out_;
    EXPECT_TRUE(Has(out_, "NOT GOOD: " + again + ": is the card c1 again; checked once"));
    EXPECT_EQ(Count(err_, ": reading "), 2u) << err_;
    EXPECT_TRUE(Has(out_, "2 of 3 cards good"));
}

// ---- the file calls in the test's hands ---------------------------------

enum class Fault { None, OpenCard, List, Read, Interrupt };
struct Seam {
    Fault fault = Fault::None;
    fs::path card;              // the card struck, as check opens it
    std::set<Handle> struck;    // its folder and what was opened below it
    std::set<Handle> onCards;   // every card's, for counting
    int fromTheVolume = 0, cached = 0;
};
Seam g_seam;

// The cards' workers call at once: the seam's sets under one lock.
std::mutex g_seamLock;

bool Struck(Handle handle)
{
    std::lock_guard<std::mutex> guard(g_seamLock);
    return g_seam.struck.count(handle) != 0;
}

int SeamOpen(Handle folder, const fs::path& name, tool::OpenAs as, Handle* opened)
{
    const bool cardFolder = folder == tool::kNoFolder && as == tool::OpenAs::Folder &&
                            std::any_of(std::begin(kCards), std::end(kCards),
                                        [&](const char* card) { return name.filename() == card; });
    const bool struck = (cardFolder && name.filename() == g_seam.card) || Struck(folder);
    if (struck && cardFolder && g_seam.fault == Fault::OpenCard) return kInjected;
    const int error = kFileCalls.open(folder, name, as, opened);
    if (error) return error;
    std::lock_guard<std::mutex> guard(g_seamLock);
    const bool belowACard = g_seam.onCards.count(folder) != 0;
    if (struck) g_seam.struck.insert(*opened);
    if (cardFolder || belowACard) g_seam.onCards.insert(*opened);
    if (belowACard && as == tool::OpenAs::ReadFromVolume) ++g_seam.fromTheVolume;
    if (belowACard && as == tool::OpenAs::ReadCached) ++g_seam.cached;
    return 0;
}

int SeamRead(Handle file, void* bytes, size_t count, size_t* got)
{
    if (g_seam.fault == Fault::Read && Struck(file)) return kInjected;
#if !defined(_WIN32)
    // Ctrl-C while this card is read; the read never ends.
    if (g_seam.fault == Fault::Interrupt && Struck(file)) {
        kill(getpid(), SIGINT);
        for (;;) pause();
    }
#endif
    return kFileCalls.read(file, bytes, count, got);
}

int SeamList(Handle folder, std::vector<tool::Listed>* entries)
{
    if (g_seam.fault == Fault::List && Struck(folder)) return kInjected;
    return kFileCalls.list(folder, entries);
}

int SeamClose(Handle handle)
{
    {
        std::lock_guard<std::mutex> guard(g_seamLock);
        g_seam.struck.erase(handle);
        g_seam.onCards.erase(handle);
    }
    return kFileCalls.close(handle);
}

class CheckSeamTest : public CheckTest {
protected:
    void Arm(Fault fault, const char* card)
    {
        g_seam = Seam();
        g_seam.fault = fault;
        g_seam.card = card;
        g_fileCalls.open = SeamOpen;
        g_fileCalls.read = SeamRead;
        g_fileCalls.list = SeamList;
        g_fileCalls.close = SeamClose;
    }
};

// The card's files come from the card, never from the system's cache.
TEST_F(CheckSeamTest, ReadsEveryCardFileFromTheVolume)
{
    Arm(Fault::None, "");
    EXPECT_EQ(CheckAll(), 0) << out_;
    EXPECT_EQ(g_seam.cached, 0);
    // Each card's six files and its manifest at least.
    EXPECT_GE(g_seam.fromTheVolume, 4 * 7);
}

struct FaultRow {
    const char* name;
    Fault fault;
    int code;
    const char* says;
};

class CheckFaultTest : public CheckSeamTest, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(CheckFaultTest, StrikesThatCardAlone)
{
    const FaultRow& row = GetParam();
    Arm(row.fault, "c2");
    EXPECT_EQ(CheckAll(), row.code) << out_;
    EXPECT_TRUE(Has(out_, std::string("NOT GOOD: c2: ") + row.says));
    ExpectTheOthersGood("c2");
    EXPECT_TRUE(Has(out_, "3 of 4 cards good"));
    const std::vector<nlohmann::json> log = LogRecords("check.jsonl");
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[1]["code"], row.code) << log[1];
    EXPECT_EQ(log[0]["code"], 0) << log[0];
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CheckFaultTest,
    ::testing::Values(FaultRow{"OpenCard", Fault::OpenCard, 66, "cannot open the card folder: "},
                      FaultRow{"ListPackage", Fault::List, 66, "cannot list its PreDLMap: "},
                      FaultRow{"ReadFile", Fault::Read, 74, "cannot read "}),
    ByName());

#if !defined(_WIN32)
// Ctrl-C while one card is read: every card still gets its line, that one
// with 130. In a child process, which the interrupt ends.
TEST_F(CheckSeamTest, AnInterruptedCheckLogsEveryCard)
{
    const pid_t child =
        ForkMain({"check", "--log", "check.jsonl", "c1", "c2", "c3", "c4"}, "", "", [&] { Arm(Fault::Interrupt, "c2"); });
    EXPECT_EQ(Reaped(child), 130);
    const std::vector<nlohmann::json> log = LogRecords("check.jsonl");
    ASSERT_EQ(log.size(), 4u);
    for (const nlohmann::json& line : log) {
        ASSERT_TRUE(line.is_object());
        EXPECT_TRUE(line["code"] == 0 || line["code"] == 130) << line;
    }
    EXPECT_EQ(log[1]["card"], "c2");
    EXPECT_EQ(log[1]["code"], 130);
    // Its first read is its manifest's, before its files are read.
    EXPECT_EQ(log[1]["reason"], "interrupted (SIGINT) while checking; nothing on it was changed");
}

// An entry that is no file is never opened (a FIFO would never give an end):
// it is a file the manifest does not hold.
TEST_F(CheckTest, AFifoInThePackageIsNamedNotOpened)
{
    ASSERT_EQ(mkfifo((Root() / "c3/PreDLMap/Map/pipe").c_str(), 0600), 0);
    EXPECT_EQ(CheckAll(), 65) << out_;
    EXPECT_TRUE(Has(out_, "NOT GOOD: c3: 1 file differs from its manifest PreDLMap.sha256 (added: Map/pipe)"));
    ExpectTheOthersGood("c3");
}

// A card another pelk-mapcopy holds (a write in progress) is not read; the
// others are. The check runs in a child process: the lock is this test's.
TEST_F(CheckTest, ACardInUseIsNotRead)
{
    const int held = open((Root() / "c2").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const int code = Reaped(ForkMain({"check", "c1", "c2"}, ".out", ".err"));
    close(held);
    const std::string out = ReadFile(".out");
    EXPECT_EQ(code, 75) << out;
    const std::string refused = "NOT GOOD: c2: not read: another pelk-mapcopy (pid " + std::to_string(getpid()) + ")";
    EXPECT_TRUE(Has(out, refused + " is using c2"));
    EXPECT_TRUE(Has(out, "good: c1 holds"));
    EXPECT_EQ(ReadFile(".err").find("c2: reading"), std::string::npos);
}
#endif

} // namespace
