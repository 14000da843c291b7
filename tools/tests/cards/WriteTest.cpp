// pelk-mapcopy write driven as a producer drives it: plain folders as
// several cards at once, small tmpfs mounts as full cards, a FAT32 volume
// behind fusefat, a write killed and run again. Each card must end as the
// package exactly or as it was, with nothing else on it changed.
#if defined(_WIN32)
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <signal.h>
#  include <sys/file.h>
#  include <sys/wait.h>
#  include <unistd.h>
#endif

#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>

#include "DeviceFixture.h"
#include "FatImage.h"
#include "InProcessTool.h"
#include "Names.h"
#include "ToolOutput.h"
#include "ToolProcess.h"
#include "ToolPlatform.h"

namespace {

// Plain folders and tmpfs mounts stand for cards here: without it, write
// refuses every volume that is not FAT.
const char kAnyVolume[] = "--any-volume";

class WriteTest : public ToolProcessTest {
protected:
    // A sealed package in pkg/PreDLMap; its manifest beside it.
    void MakePackage(const std::vector<PackageFile>& files)
    {
        RemoveTree("pkg");
        for (const PackageFile& file : files) WriteFile("pkg/PreDLMap/" + file.path, file.bytes);
        const ToolResult sealed = Tool({"seal", "pkg/PreDLMap"});
        ASSERT_EQ(sealed.code, 0) << sealed.err;
    }

    // The card as the package: every file and folder, and its manifest.
    void ExpectTheNewPackage(const std::string& card)
    {
        EXPECT_EQ(Snap(card + "/PreDLMap"), Snap("pkg/PreDLMap")) << card;
        EXPECT_EQ(ReadFile(card + "/PreDLMap.sha256"), ReadFile("pkg/PreDLMap.sha256")) << card;
        for (const char* leftover : {"PreDLMap.pelk-new", "PreDLMap.pelk-old", "PreDLMap.pelk-incomplete"})
            EXPECT_FALSE(Exists(card + "/" + leftover)) << card << ": " << leftover;
    }
};

const std::vector<PackageFile> kPackage = {
    {"PreDLVerno.ini", "[Version]\r\nMap=2027.01\r\n"},
    {"Map/Europe/DE.map", PatternBytes(3 * 1024 * 1024 + 5, 1)},
    {"Map/Europe/FR.map", PatternBytes(1025, 2)},
    {"Map/Europe/empty.idx", ""},
    {"Poi/fuel.csv", "id;name\r\n1;\xC3\x9C" "ber\r\n"},
};

TEST_F(WriteTest, SeveralCardsAtOnceEachEndAsThePackageOrUntouched)
{
    ASSERT_NO_FATAL_FAILURE(MakePackage(kPackage));
    // c1 empty; c2 an old package and the producer's own files; c3 what a
    // killed write left between its renames; c4 is no folder at all.
    MakeFolder("c1");
    WriteFile("c2/PreDLMap/Map/old.map", PatternBytes(5000, 9));
    WriteFile("c2/PreDLMap.sha256", "stale");
    WriteFile("c2/DCIM/photo.jpg", "not the package's");
    WriteFile("c3/PreDLMap.pelk-old/Map/old.map", "the old package, set aside");
    WriteFile("c3/PreDLMap.pelk-new/Map/Europe/DE.map", "half");
    const Snapshot untouched = Snap("c2/DCIM");

    const ToolResult written = Tool({"write", kAnyVolume, "--log", "cards.jsonl", "pkg/PreDLMap", "c1", "c2", "c3", "c4"});
    EXPECT_EQ(written.code, 66) << written.out << written.err;
    EXPECT_TRUE(Has(written.out, "NOT GOOD: cannot open the card c4"));
    EXPECT_TRUE(Has(written.out, "3 of 4 cards good\n"));
    EXPECT_TRUE(Has(written.out, "good: c3 holds the package as read back from the card (6 files, "));
    EXPECT_TRUE(Has(written.out, "the old package a stopped write had set aside is back"));
    for (const char* card : {"c1", "c2", "c3"}) ExpectTheNewPackage(card);
    EXPECT_EQ(Snap("c2/DCIM"), untouched);
    EXPECT_FALSE(Exists("c4"));
    // Plain lines, not a redrawn bar: stderr is a file.
    EXPECT_EQ(written.err.find('\033'), std::string::npos) << written.err;
    EXPECT_TRUE(Has(written.err, "c1: reading back"));

    const std::vector<nlohmann::json> log = LogRecords("cards.jsonl");
    ASSERT_EQ(log.size(), 4u);
    for (size_t i = 0; i < log.size(); ++i) {
        const nlohmann::json& line = log[i];
        ASSERT_TRUE(line.is_object()) << i;
        EXPECT_EQ(line["card"], "c" + std::to_string(i + 1));
        EXPECT_EQ(line["command"], "write");
        EXPECT_EQ(line["result"], i < 3 ? "good" : "not good") << line;
        EXPECT_EQ(line["code"], i < 3 ? 0 : 66) << line;
        EXPECT_EQ(line["reason"].is_null(), i < 3) << line;
        EXPECT_EQ(line["phase"], i < 3 ? "done" : "waiting") << line;
        EXPECT_EQ(line["files"], 6);
        EXPECT_EQ(line["package_version"], "[Version]");
        EXPECT_EQ(line["manifest_sha256"].get<std::string>().size(), 64u);
        EXPECT_EQ(line["tool_version"], PELK_VERSION);
        EXPECT_TRUE(fs::path(line["path"].get<std::string>()).is_absolute()) << line;
        for (const char* time : {"started", "ended"})
            EXPECT_TRUE(std::regex_match(line[time].get<std::string>(),
                                         std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
                << line;
        EXPECT_LE(line["started"].get<std::string>(), line["ended"].get<std::string>());
    }
    // The second write appends, and a card written again holds the new package once more.
    ASSERT_EQ(Tool({"write", kAnyVolume, "--log", "cards.jsonl", "pkg/PreDLMap", "c2"}).code, 0);
    EXPECT_EQ(Count(ReadFile("cards.jsonl"), "\n"), 5u);
    ExpectTheNewPackage("c2");
}

class WriteRefusal;

struct RefusalCase {
    const char* name;
    void (*spoil)(WriteRefusal*); // after sealing
    int code;
    const char* says;
};


class WriteRefusal : public WriteTest, public ::testing::WithParamInterface<RefusalCase> {
public:
    void Write(const std::string& relative, const std::string& bytes) { WriteFile(relative, bytes); }
    void Remove(const std::string& relative) { RemoveTree(relative); }
};

TEST_P(WriteRefusal, TouchesNoCardForAPackageThatIsNotAsSealed)
{
    const RefusalCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(MakePackage(kPackage));
    WriteFile("card/PreDLMap/Map/old.map", "old");
    c.spoil(this);
    const Snapshot before = Snap("card");
    const ToolResult written = Tool({"write", "pkg/PreDLMap", "card"});
    EXPECT_EQ(written.code, c.code) << written.err;
    EXPECT_NE((written.out + written.err).find(c.says), std::string::npos) << written.out << written.err;
    EXPECT_EQ(Snap("card"), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteRefusal,
    ::testing::Values(
        RefusalCase{"NoManifest", [](WriteRefusal* test) { test->Remove("pkg/PreDLMap.sha256"); },
                    64, "writes it (and checksum.ini)"},
        // Two bytes swapped: the device's sum still matches, the manifest does not.
        RefusalCase{"ChangedSinceSealing",
                    [](WriteRefusal* test) {
                        std::string bytes = PatternBytes(1025, 2);
                        std::swap(bytes[0], bytes[1]);
                        test->Write("pkg/PreDLMap/Map/Europe/FR.map", bytes);
                    },
                    65, "changed: Map/Europe/FR.map"},
        RefusalCase{"ChecksumWrong",
                    [](WriteRefusal* test) { test->Write("pkg/PreDLMap/checksum.ini", "1\r\n"); },
                    65, "MISMATCH"},
        RefusalCase{"NotAManifest",
                    [](WriteRefusal* test) { test->Write("pkg/PreDLMap.sha256", "junk\n"); }, 64,
                    "cannot be read: line 1 is no sha256sum line"},
        // A sound package, but the card is a folder of the test's volume, no FAT one.
        RefusalCase{"NotAFatVolume", [](WriteRefusal*) {}, 64,
                    ", not FAT: the device reads FAT cards only; card untouched (--any-volume writes it anyway)"}),
    ByName());

TEST_F(WriteTest, AKilledInPlaceWriteIsClearedByTheNext)
{
    ASSERT_NO_FATAL_FAILURE(MakePackage(kPackage));
    // What an --in-place write leaves when killed: its marker and half a package.
    WriteFile("card/PreDLMap.pelk-incomplete", "");
    WriteFile("card/PreDLMap/Map/Europe/DE.map", "half");
    const ToolResult written = Tool({"write", kAnyVolume, "pkg/PreDLMap", "card"});
    EXPECT_EQ(written.code, 0) << written.out;
    EXPECT_TRUE(Has(written.out, "the half-written package of a stopped --in-place write was cleared"));
    ExpectTheNewPackage("card");
}

TEST_F(WriteTest, RefusesUsageErrors)
{
    ASSERT_NO_FATAL_FAILURE(MakePackage(kPackage));
    MakeFolder("card");
    EXPECT_EQ(Tool({"write", "pkg/PreDLMap"}).code, 64);
    // The second name of a card is refused; the card is written once.
    const ToolResult twice = Tool({"write", kAnyVolume, "pkg/PreDLMap", "card", "card/."});
    EXPECT_EQ(twice.code, 64);
    EXPECT_TRUE(Has(twice.out, "NOT GOOD: " + fs::path("card/.").make_preferred().u8string() +
                             ": is the card card again; card untouched"));
    ExpectTheNewPackage("card");
    // A log that cannot be appended to: no card is written without its line.
    MakeFolder("fresh");
    const ToolResult unlogged = Tool({"write", kAnyVolume, "--log", "no/such/folder/cards.jsonl", "pkg/PreDLMap", "fresh"});
    EXPECT_EQ(unlogged.code, 64);
    EXPECT_TRUE(Has(unlogged.err, "cannot append to the log"));
    EXPECT_FALSE(Exists("fresh/PreDLMap"));
    // A package refused: every card still gets its line, untouched.
    WriteFile("pkg/PreDLMap/Poi/added.csv", "not sealed");
    EXPECT_EQ(Tool({"write", kAnyVolume, "--log", "cards.jsonl", "pkg/PreDLMap", "fresh"}).code, 65);
    const std::vector<nlohmann::json> log = LogRecords(Root() / "cards.jsonl");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["code"], 65);
    EXPECT_EQ(log[0]["reason"].get<std::string>().rfind("the package was refused: no card written: ", 0), 0u)
        << log[0];
    EXPECT_FALSE(Exists("fresh/PreDLMap"));
}

// Folders that are no card: refused untouched, naming what was meant.
struct NoCardCase {
    const char* name;
    const char* packageAt; // where the sealed package lies
    const char* extra;     // a file made before the write ("" none)
    const char* card;
    const char* said;
};

class NoCardTest : public WriteTest, public ::testing::WithParamInterface<NoCardCase> {};

TEST_P(NoCardTest, IsRefusedUntouched)
{
    const NoCardCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(MakePackage(kPackage));
    if (std::string(c.extra).size()) WriteFile(c.extra, "there before");
    if (std::string(c.packageAt) != "pkg/PreDLMap") {
        for (const PackageFile& file : kPackage) WriteFile(std::string(c.packageAt) + "/" + file.path, file.bytes);
        if (std::string(c.extra).rfind(c.packageAt, 0) == 0) WriteFile(c.extra, "there before");
        ASSERT_EQ(Tool({"seal", c.packageAt}).code, 0);
    } else if (std::string(c.extra).rfind("pkg/", 0) == 0) {
        ASSERT_EQ(Tool({"seal", c.packageAt}).code, 0); // the extra is part of the package
    }
    MakeFolder(c.card);
    const Snapshot card = Snap(c.card);
    const Snapshot package = Snap(c.packageAt);
    const ToolResult written = Tool({"write", c.packageAt, c.card});
    EXPECT_EQ(written.code, 64) << written.out << written.err;
    const std::string said = "NOT GOOD: " + fs::path(c.card).make_preferred().u8string() + ": " + c.said;
    EXPECT_TRUE(Has(written.out, said)) << said << "\n" << written.out;
    EXPECT_EQ(written.out.find("--in-place"), std::string::npos) << written.out;
    EXPECT_EQ(Snap(c.card), card);
    EXPECT_EQ(Snap(c.packageAt), package);
}

INSTANTIATE_TEST_SUITE_P(
    Folders, NoCardTest,
    ::testing::Values(
        NoCardCase{"APackageFolder", "pkg/PreDLMap", "card/PreDLMap/Map/old.map", "card/PreDLMap",
                   "is a package folder, not a card folder; the card folder is the one holding it"},
        NoCardCase{"AFolderWithChecksumIni", "pkg/PreDLMap", "copy/checksum.ini", "copy",
                   "holds checksum.ini: it is a package, not a card folder"},
        NoCardCase{"ADeviceRoot", "pkg/PreDLMap", "dev/SDMMC/PreDLMap/Map/old.map", "dev",
                   "is a device root, not a card folder; its card folder is"},
        NoCardCase{"AFolderInsideThePackage", "pkg/PreDLMap", "pkg/PreDLMap/Poi/cardx/note.txt",
                   "pkg/PreDLMap/Poi/cardx", "lies inside the package"},
        NoCardCase{"ACardHoldingThePackage", "card/PreDLMap", "", "card", "holds the package being written"},
        NoCardCase{"ACardHoldingThePackageAsItsLeftover", "card/PreDLMap.pelk-new", "card/PreDLMap/Map/old.map",
                   "card", "holds the package being written"}),
    ByName());

// A card folder as typed, as write takes it: absolute, without a trailing
// separator but at a volume's root, whose separator is part of its name.
struct FolderCase {
    const char* name;
    std::string typed;
    std::string absolute;
};
class CardFolderPath : public ::testing::TestWithParam<FolderCase> {};

TEST_P(CardFolderPath, IsAbsoluteWithASeparatorOnlyAtAVolumesRoot)
{
    EXPECT_EQ(tool::AbsoluteFolder(GetParam().typed).u8string(), GetParam().absolute);
}

#if defined(_WIN32)
const std::string kVolume = "\\\\?\\Volume{0a1b2c3d-0000-0000-0000-100000000000}";
const auto kFolderCases = ::testing::Values(
    FolderCase{"DriveRoot", "E:\\", "E:\\"}, FolderCase{"DriveRootDot", "E:\\.", "E:\\"},
    FolderCase{"DriveRootSlash", "E:/", "E:\\"}, FolderCase{"Folder", "E:\\card\\", "E:\\card"},
    FolderCase{"FolderDotDot", "E:/card/sub/..", "E:\\card"},
    FolderCase{"VolumeMountedOnAFolder", "C:\\mnt\\card\\", "C:\\mnt\\card"},
    FolderCase{"VolumeName", kVolume + "\\", kVolume + "\\"}, FolderCase{"VolumeNameAlone", kVolume, kVolume + "\\"},
    FolderCase{"VolumeFolder", kVolume + "\\card\\", kVolume + "\\card"},
    FolderCase{"DriveByName", "\\\\?\\E:", "\\\\?\\E:\\"},
    FolderCase{"Share", "\\\\server\\share", "\\\\server\\share\\"},
    FolderCase{"ShareFolder", "\\\\server\\share\\card\\", "\\\\server\\share\\card"});
#else
const auto kFolderCases = ::testing::Values(
    FolderCase{"Root", "/", "/"}, FolderCase{"Folder", "/media/card/", "/media/card"},
    FolderCase{"Dot", "/media/card/.", "/media/card"}, FolderCase{"DotDot", "/media/sd/../card", "/media/card"},
    FolderCase{"Doubled", "/media//card//", "/media/card"});
#endif
INSTANTIATE_TEST_SUITE_P(
    Paths, CardFolderPath, kFolderCases,
    ByName());

#if !defined(_WIN32)
// A card's name keeps its verdict on one line and its log line JSON in
// UTF-8, whatever bytes it holds; the log keeps the bytes too.
TEST_F(WriteTest, OddCardNamesAreShownEscaped)
{
    ASSERT_NO_FATAL_FAILURE(MakePackage(kPackage));
    MakeFolder("odd\nname");
    MakeFolder("bad\xff");
    const ToolResult written = Tool({"write", kAnyVolume, "--log", "cards.jsonl", "pkg/PreDLMap", "odd\nname", "bad\xff"});
    EXPECT_EQ(written.code, 0) << written.out << written.err;
    EXPECT_EQ(Count(written.out, "\n"), 3u) << written.out;
    EXPECT_TRUE(Has(written.out, "good: odd\\x0Aname holds"));
    EXPECT_TRUE(Has(written.out, "good: bad\\xFF holds"));
    const std::string log = ReadFile("cards.jsonl");
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(tool::EscapedBytes(line), line);
    const std::vector<nlohmann::json> records = LogRecords("cards.jsonl");
    ASSERT_EQ(records.size(), 2u) << log;
    EXPECT_EQ(records[0]["card"], "odd\\x0Aname");
    EXPECT_EQ(records[0]["card_hex"], "6f64640a6e616d65");
    EXPECT_EQ(records[1]["card"], "bad\\xFF");
    EXPECT_EQ(records[1]["card_hex"], "626164ff");
}

TEST_F(WriteTest, ACardInUseIsRefusedAndTheOthersGoOn)
{
    ASSERT_NO_FATAL_FAILURE(MakePackage(kPackage));
    MakeFolder("busy");
    MakeFolder("free");
    const int held = open((Root() / "busy").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const ToolResult written = Tool({"write", kAnyVolume, "pkg/PreDLMap", "busy", "free"});
    // seal takes the same lock for a card's package: the folder holding it.
    WriteFile("busy-package/PreDLMap/Map/a.map", "a");
    const int packageHeld = open((Root() / "busy-package").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_EQ(flock(packageHeld, LOCK_EX | LOCK_NB), 0);
    const ToolResult sealed = Tool({"seal", "busy-package/PreDLMap"});
    close(packageHeld);
    EXPECT_EQ(sealed.code, 75) << sealed.err;
    EXPECT_TRUE(Has(sealed.err, "busy-package; run again once it has ended"));
    EXPECT_FALSE(Exists("busy-package/PreDLMap/checksum.ini"));
    close(held);
    EXPECT_EQ(written.code, 75);
    EXPECT_TRUE(Has(written.out, "NOT GOOD: another pelk-mapcopy (pid " + std::to_string(getpid()) + ") is using busy"));
    EXPECT_TRUE(Snap("busy").empty());
    ExpectTheNewPackage("free");
}

// In a forked write: its Nth write on the card says so, then waits at the
// gate, or (no gate) never returns, killed there.
const Moment* g_reached = nullptr;
const Gate* g_gate = nullptr;
int g_writesLeft = 0;

int WriteThenStop(tool::Handle file, const void* bytes, size_t count, size_t* written)
{
    if (--g_writesLeft == 0) {
        g_reached->Say();
        if (!g_gate)
            for (;;) pause();
        g_gate->Pass();
    }
    return tool::kFileCalls.write(file, bytes, count, written);
}

// A forked write stopped at its Nth write on the card as above.
pid_t StoppedWrite(const std::vector<std::string>& arguments, int nth, Moment& reached, const Gate* gate,
                   Transcript* err)
{
    const pid_t child = ForkMain(arguments, ".out", ".err", [&] {
        if (err) err->Into(2);
        g_reached = &reached;
        g_gate = gate;
        g_writesLeft = nth;
        tool::g_fileCalls.write = WriteThenStop;
    });
    reached.Started();
    if (err) err->Started();
    return child;
}

TEST_F(WriteTest, CtrlCSaysEachCardHoldsItsOldPackage)
{
    ASSERT_NO_FATAL_FAILURE(MakePackage(kPackage));
    WriteFile("card/PreDLMap/Map/old.map", "old");
    const Snapshot old = Snap("card/PreDLMap");
    // Its first write waits at the gate until the interrupt was taken.
    Moment reached;
    Gate gate;
    Transcript said;
    const pid_t child = StoppedWrite({"write", kAnyVolume, "--log", "cards.jsonl", "pkg/PreDLMap", "card"}, 1, reached,
                                     &gate, &said);
    ASSERT_TRUE(reached.Await());
    kill(child, SIGINT);
    ASSERT_TRUE(said.WaitFor({"pelk-mapcopy: interrupted (SIGINT)"}));
    gate.Open(1);
    said.ReadToTheEnd();
    const std::string& err = said.seen;
    EXPECT_EQ(Reaped(child), 130) << err;
    EXPECT_TRUE(Has(err, "card: holds its old package, whole (stopped while writing)"));
    EXPECT_EQ(Snap("card/PreDLMap"), old);
    const std::vector<nlohmann::json> log = LogRecords(Root() / "cards.jsonl");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0]["code"], 130);
    EXPECT_EQ(log[0]["reason"].get<std::string>().rfind("interrupted (SIGINT) while ", 0), 0u) << log[0];
    EXPECT_NE(log[0]["reason"].get<std::string>().find("; it holds its old package, whole"), std::string::npos);
    ASSERT_EQ(Tool({"write", kAnyVolume, "pkg/PreDLMap", "card"}).code, 0);
    ExpectTheNewPackage("card");
}

class WriteFullCardTest : public WriteTest {};

TEST_F(WriteFullCardTest, NamesInPlaceWhereOnlyTheOldPackagesRoomIsMissing)
{
    std::string why;
    for (const auto& [card, size] : {std::pair<const char*, const char*>{"roomy", "size=8m"}, {"tight", "size=5m"},
                                     {"tiny", "size=1m"}}) {
        if (!Mount(card, "tmpfs", "tmpfs", 0, size, &why))
            GTEST_SKIP() << "cannot mount a small tmpfs here (" << why << "); needs root and mount rights";
    }
    ASSERT_NO_FATAL_FAILURE(MakePackage(kPackage)); // about 3 MiB
    for (const char* card : {"roomy", "tight"}) WriteFile(std::string(card) + "/PreDLMap/old.map", PatternBytes(3u << 20, 4));
    const Snapshot tight = Snap("tight");
    const Snapshot tiny = Snap("tiny");
    const ToolResult written = Tool({"write", kAnyVolume, "pkg/PreDLMap", "roomy", "tight", "tiny"});
    EXPECT_EQ(written.code, 64);
    EXPECT_TRUE(Has(written.out, "good: roomy holds the package"));
    EXPECT_TRUE(Has(written.out, "NOT GOOD: tight: no room for the new package"));
    EXPECT_TRUE(Has(written.out, "pelk-mapcopy write --in-place removes the old package first"));
    EXPECT_TRUE(Has(written.out, "NOT GOOD: tiny: the package ("));
    EXPECT_TRUE(Has(written.out, "more must be freed; card untouched"));
    ExpectTheNewPackage("roomy");
    EXPECT_EQ(Snap("tight"), tight);
    EXPECT_EQ(Snap("tiny"), tiny);

    const ToolResult inPlace = Tool({"write", kAnyVolume, "--in-place", "pkg/PreDLMap", "tight"});
    EXPECT_EQ(inPlace.code, 0) << inPlace.out;
    ExpectTheNewPackage("tight");
}

TEST_F(WriteFullCardTest, ATmpfsCardIsRefusedUntouchedUnlessAnyVolume)
{
    std::string why;
    if (!Mount("card", "tmpfs", "tmpfs", 0, "size=8m", &why))
        GTEST_SKIP() << "cannot mount a tmpfs here (" << why << "); needs root and mount rights";
    ASSERT_NO_FATAL_FAILURE(MakePackage(kPackage));
    WriteFile("card/PreDLMap/old.map", "old");
    WriteFile("card/DCIM/photo.jpg", "not the package's");
    const Snapshot before = Snap("card");
    const ToolResult refused = Tool({"write", "--log", "cards.jsonl", "pkg/PreDLMap", "card"});
    EXPECT_EQ(refused.code, 64);
    EXPECT_TRUE(Has(refused.out, "NOT GOOD: card: its volume is tmpfs, not FAT: the device reads FAT cards only; card "
                               "untouched (--any-volume writes it anyway)\n0 of 1 cards good"));
    EXPECT_EQ(Snap("card"), before);
    EXPECT_TRUE(Has(ReadFile("cards.jsonl"), "\"file_system\":\"tmpfs\""));

    const ToolResult written = Tool({"write", kAnyVolume, "pkg/PreDLMap", "card"});
    EXPECT_EQ(written.code, 0) << written.out;
    ExpectTheNewPackage("card");
    EXPECT_EQ(ReadFile("card/DCIM/photo.jpg"), "not the package's");
}

// A FAT32 volume behind fusefat: written new files only, as the driver
// corrupts what it overwrites; every step bounded, and the volume unmounted
// and checked with fsck.fat in every case.
class WriteFatCardTest : public WriteTest {
protected:
    void TearDown() override
    {
        if (card_) card_->UnmountAndCheck();
        WriteTest::TearDown();
    }

    void MountCard()
    {
        MakeFolder("card");
        card_.emplace(Root() / "card.img", Root() / "card");
        card_->Mount("300M");
    }

private:
    std::optional<FatImage> card_;
};

TEST_F(WriteFatCardTest, AKilledWriteIsClearedByTheRerunAndTheVolumeStaysClean)
{
    ASSERT_NO_FATAL_FAILURE(MountCard());
    if (IsSkipped()) return;
    std::vector<PackageFile> files = kPackage;
    for (int i = 0; i < 40; ++i) files.push_back({"Map/T" + std::to_string(i) + ".map", PatternBytes(512 * 1024, 10 + i)});
    ASSERT_NO_FATAL_FAILURE(MakePackage(files));
    // The driver loses a renamed folder's files: write refuses to swap there.
    const ToolResult refused = Tool({"write", "pkg/PreDLMap", "card"});
    EXPECT_EQ(refused.code, 64);
    EXPECT_TRUE(Has(refused.out, "its volume (fusefat) loses a folder's files when it renames the folder"));
    EXPECT_FALSE(Exists("card/PreDLMap.pelk-new"));

    // Killed at its 20th write of 44, then run again.
    Moment reached;
    const pid_t child = StoppedWrite({"write", "--in-place", "pkg/PreDLMap", "card"}, 20, reached, nullptr, nullptr);
    ASSERT_TRUE(reached.Await()) << ReadFile(".err");
    kill(child, SIGKILL);
    EXPECT_EQ(Reaped(child), -1);
    const ToolResult rerun = Tool({"write", "--in-place", "--log", "fat.jsonl", "pkg/PreDLMap", "card"});
    EXPECT_EQ(rerun.code, 0) << rerun.out << rerun.err;
    ExpectTheNewPackage("card");
    const std::string log = ReadFile("fat.jsonl");
    EXPECT_TRUE(Has(log, "\"file_system\":\"fuse.fusefat\""));
    const ToolResult verified = Tool({"verify", "card/PreDLMap"});
    EXPECT_EQ(verified.code, 0) << verified.out;
    EXPECT_TRUE(Has(verified.out, "every file as sealed"));
}
#endif

} // namespace
