// pelk-mapcopy station as a production line drives it: volumes mounted one
// after another below a watched folder while others are being written, one
// pulled mid-write, one that cannot be released, then Ctrl-C. The station
// runs in a child of this process with the file calls' table in the test's
// hands: each card's first folder waits at a gate the test opens, and the
// test follows the station's own lines read from a pipe, never the clock.
#if !defined(_WIN32)
#  include <fcntl.h>
#  include <poll.h>
#  include <signal.h>
#  include <sys/mount.h>
#  include <sys/wait.h>
#  include <unistd.h>

#  include "Chromium.h"
#endif

#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FatImage.h"
#include "InProcessTool.h"
#include "Station.h"
#include "ToolOutput.h"
#include "ToolPlatform.h"

namespace {

const std::vector<PackageFile> kNew = {
    {"PreDLVerno.ini", "[Version]\r\nMap=2027.01\r\n"},
    {"Map/Europe/DE.map", PatternBytes(2 * 1024 * 1024 + 3, 1)},
    {"Map/Europe/FR.map", PatternBytes(1025, 2)},
    {"Poi/fuel.csv", "id;name\r\n"},
};

#if !defined(_WIN32)

const std::vector<PackageFile> kOld = {
    {"Map/old.map", PatternBytes(70000, 7)},
};

// In the station's process: the gate each card's first new folder waits at,
// the moment a card reaches it, and the card whose release fails.
const Gate* g_gate = nullptr;
const Moment* g_atTheGate = nullptr;
const char kStuck[] = "stuck";

// With a late look: the interrupt's first look at a card lets the card's
// worker through the gate and waits until that worker has stopped and its
// thread ended, the latest a report can come to what the worker held.
bool g_lateLook = false;
std::mutex g_lateLock;
std::condition_variable g_lateSignal;
std::thread::id g_waiting;
bool g_workerEnded = false;

struct WorkerEnd {
    ~WorkerEnd()
    {
        std::lock_guard<std::mutex> guard(g_lateLock);
        g_workerEnded = true;
        g_lateSignal.notify_all();
    }
};

int MakeFolderAtTheGate(tool::Handle folder, const fs::path& name)
{
    if (name == "PreDLMap.pelk-new" || name == "PreDLMap") {
        if (g_lateLook) {
            thread_local WorkerEnd end;
            (void)end;
            std::lock_guard<std::mutex> guard(g_lateLock);
            g_waiting = std::this_thread::get_id();
        }
        g_atTheGate->Say();
        if (!g_gate->Pass()) _exit(120); // the test is gone
    }
    return tool::kFileCalls.makeFolder(folder, name);
}

int LookLate(tool::Handle folder, const fs::path& name, tool::EntryFacts* facts)
{
    std::unique_lock<std::mutex> hold(g_lateLock);
    if (name == "PreDLMap" && g_waiting != std::thread::id() && g_waiting != std::this_thread::get_id()) {
        g_waiting = std::thread::id();
        g_gate->Open(1);
        g_lateSignal.wait(hold, [] { return g_workerEnded; });
    }
    hold.unlock();
    return tool::kFileCalls.facts(folder, name, facts);
}

// The station's state as a page would copy it, one line.
std::string Described(const tool::StationState& state)
{
    static const char* const kResults[] = {"working", "good", "not good"};
    std::string text = "good " + std::to_string(state.good) + ", not good " + std::to_string(state.notGood) +
                       (state.stopping ? ", stopping" : "");
    for (const tool::StationSlot& slot : state.slots)
        text += "; " + fs::u8path(slot.card).filename().u8string() + " " + slot.phase + " " +
                kResults[static_cast<int>(slot.result)] + (slot.released ? " released" : "") +
                (slot.reason.empty() ? "" : " (" + slot.reason.substr(0, slot.reason.find(';')) + ")");
    return text;
}

// The stuck card is not let go; as it would be, the station's state is
// printed as its snapshot gives it.
bool ReleaseUnlessStuck(const tool::WatchedVolume& volume, std::string* how, std::string* why)
{
    if (volume.root.filename() != kStuck) return tool::kReleaseCalls.release(volume, how, why);
    printf("snapshot: %s\n", Described(tool::StationSnapshot()).c_str());
    fflush(stdout);
    *why = "the test holds it";
    return false;
}

class StationTest : public InProcessTest {
protected:
    void TearDown() override
    {
        if (child_ > 0) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        for (auto& fat : fats_) fat->UnmountQuietly();
        InProcessTest::TearDown();
    }

    // A sealed package in pkg/PreDLMap, and its snapshot.
    void MakePackage()
    {
        ASSERT_NO_FATAL_FAILURE(Sealed("pkg", kNew));
        newPackage_ = Snap("pkg/PreDLMap");
    }

    // A tmpfs of its own in staging/NAME, shown below the watched folder
    // slots by a bind mount: once the station lets the card go, what it
    // holds is still there to look at.
    bool Insert(const std::string& name, std::string* why)
    {
        return Mount("slots/" + name, (Root() / "staging" / name).string(), "none", MS_BIND, nullptr, why);
    }
    bool Stage(const std::string& name, const std::vector<PackageFile>& old, std::string* why)
    {
        if (!Mount("staging/" + name, "tmpfs", "tmpfs", 0, "size=16m", why)) return false;
        for (const PackageFile& file : old) WriteFile("staging/" + name + "/PreDLMap/" + file.path, file.bytes);
        return true;
    }

    // The station in a child process, its stdout and stderr one transcript.
    void Start(const std::vector<std::string>& arguments, bool lateLook = false)
    {
        child_ = ForkMain(arguments, "", "", [&] {
            said_.Into(1);
            said_.Into(2);
            g_gate = &gate_;
            g_atTheGate = &atTheGate_;
            g_lateLook = lateLook;
            tool::g_fileCalls.makeFolder = MakeFolderAtTheGate;
            if (lateLook) tool::g_fileCalls.facts = LookLate;
            tool::g_releaseCalls.release = ReleaseUnlessStuck;
        });
        ASSERT_GE(child_, 0);
        said_.Started();
        atTheGate_.Started();
    }

    bool WaitFor(const std::vector<std::string>& texts) { return said_.WaitFor(texts); }

    // SIGINT, then every line to its end; the station's exit code.
    int Interrupt()
    {
        kill(child_, SIGINT);
        return Finish();
    }
    int Finish()
    {
        said_.ReadToTheEnd();
        const int code = Reaped(child_);
        child_ = -1;
        return code;
    }

    void ExpectThePackage(const std::string& folder)
    {
        EXPECT_EQ(Snap(folder + "/PreDLMap"), newPackage_) << folder;
        EXPECT_EQ(ReadFile(folder + "/PreDLMap.sha256"), ReadFile("pkg/PreDLMap.sha256")) << folder;
    }

    // One log line per card, "command": "station": the good ones good, the
    // one not good 74, holding its old package.
    void ExpectTheLog(const std::set<std::string>& good, const std::string& notGood)
    {
        const std::vector<nlohmann::json> log = LogRecords(Root() / "station.jsonl");
        ASSERT_EQ(log.size(), good.size() + 1) << Slurp(Root() / "station.jsonl");
        std::set<std::string> logged;
        for (const nlohmann::json& line : log) {
            ASSERT_TRUE(line.is_object());
            EXPECT_EQ(line["command"], "station");
            const std::string card = fs::u8path(line["card"].get<std::string>()).filename().u8string();
            if (card == notGood) {
                EXPECT_EQ(line["code"], 74) << line;
                EXPECT_NE(line["reason"].get<std::string>().find("it holds its old package, whole"),
                          std::string::npos);
            } else {
                EXPECT_EQ(line["result"], "good") << line;
                logged.insert(card);
            }
        }
        EXPECT_EQ(logged, good);
    }

    // The station's page in a real browser: a slot per card, each good.
    void ExpectThePageShowsEachGood(const std::string& url, const std::vector<std::string>& cards)
    {
        const std::string chromium = Chromium();
        ASSERT_FALSE(chromium.empty()) << "chromium is needed (CI installs it)";
        const std::string dom = RunChromium(chromium, "--dump-dom", url);
        const std::vector<ShownSlot> slots = SlotsIn(dom);
        ASSERT_EQ(slots.size(), cards.size()) << dom;
        for (size_t i = 0; i < slots.size(); ++i) {
            EXPECT_EQ(slots[i].card, (Root() / "slots" / cards[i]).string());
            EXPECT_EQ(slots[i].result, "good");
            EXPECT_EQ(slots[i].verdict, "remove");
        }
        EXPECT_TRUE(Has(dom, R"(<span id="good">4</span>)"));
    }

    pid_t child_ = -1;
    Gate gate_;
    Moment atTheGate_;
    Transcript said_;
    std::vector<std::unique_ptr<FatImage>> fats_;
    Snapshot newPackage_;
};

// The production line's steps, each a card or cards inserted once the
// station runs.
class StationLineTest : public StationTest {
protected:
    const std::vector<std::string> cards_ = {"c1", "c2", "c3", "c4"};

    // Each card waits at the gate once it is being written: all four are
    // in at once before any goes on.
    void FourCardsAtOnce(const std::string& url)
    {
        std::string why;
        for (const std::string& card : cards_) {
            ASSERT_TRUE(Insert(card, &why)) << why;
            ASSERT_TRUE(WaitFor({"slots/" + card + ": writing"}));
        }
        gate_.Open(4);
        ASSERT_TRUE(WaitFor({"slots/c1: good: remove", "slots/c2: good: remove", "slots/c3: good: remove",
                             "slots/c4: good: remove"}));
        for (const std::string& card : cards_) {
            ExpectThePackage("staging/" + card);
            EXPECT_TRUE(Snap("slots/" + card).empty()) << card << " was not unmounted";
        }
        ExpectThePageShowsEachGood(url, cards_);
        EXPECT_EQ(ReadFile("staging/c3/DCIM/photo.jpg"), "not the package's");
    }

    // Pulled (a lazy unmount) while it is written: its old package stays.
    void PulledWhileWritten()
    {
        std::string why;
        const Snapshot old = Snap("staging/pulled/PreDLMap");
        ASSERT_TRUE(Insert("pulled", &why)) << why;
        ASSERT_TRUE(WaitFor({"slots/pulled: writing"}));
        ASSERT_EQ(umount2((Root() / "slots/pulled").c_str(), MNT_DETACH), 0);
        gate_.Open(1);
        ASSERT_TRUE(WaitFor({"slots/pulled: the card folder is no longer the one this write locked (pulled, unmounted "
                             "or replaced); nothing more was written; it holds its old package, whole"}));
        EXPECT_EQ(Snap("staging/pulled/PreDLMap"), old);
    }

    // Written, not let go: the station's state then, as a page copies it.
    void NotReleased()
    {
        std::string why;
        ASSERT_TRUE(Insert(kStuck, &why)) << why;
        ASSERT_TRUE(WaitFor({"slots/stuck: writing"}));
        gate_.Open(1);
        ASSERT_TRUE(WaitFor({"slots/stuck: good, but it could not be released (the test holds it): unmount it by hand"}));
        EXPECT_TRUE(Has(said_.seen, "snapshot: good 4, not good 1; c1 done good released; c2 done good released; c3 done "
                                    "good released; c4 done good released; pulled replacing not good (" +
                                        (Root() / "slots/pulled").string() + ": the card folder is no longer the one "
                                        "this write locked (pulled, unmounted or replaced)); stuck done working\n"));
        ExpectThePackage("slots/stuck");
    }
};

TEST_F(StationLineTest, CardsInsertedWhileOthersAreWrittenEachGetThePackageAndAreReleased)
{
    std::string why;
    if (!Stage("already", {}, &why))
        GTEST_SKIP() << "cannot mount a tmpfs here (" << why << "); needs root and mount rights";
    ASSERT_NO_FATAL_FAILURE(MakePackage());
    // c1 and c4 empty, c2 an old package, c3 this package already.
    for (const std::string& card : cards_)
        ASSERT_TRUE(Stage(card, card == "c2" ? kOld : card == "c3" ? kNew : std::vector<PackageFile>(), &why)) << why;
    ASSERT_TRUE(Stage("pulled", kOld, &why)) << why;
    ASSERT_TRUE(Stage(kStuck, {}, &why)) << why;
    WriteFile("staging/c3/DCIM/photo.jpg", "not the package's");
    ASSERT_TRUE(Insert("already", &why)) << why;
    WriteFile("slots/already/note.txt", "there before");
    const Snapshot already = Snap("slots/already");

    ASSERT_NO_FATAL_FAILURE(Start({"station", "--any-volume", "--log", "station.jsonl", "--watch", "slots", "--page",
                                   "127.0.0.1:0", "pkg/PreDLMap"}));
    ASSERT_TRUE(WaitFor({"station: 1 volume already there not written: " + (Root() / "slots/already").string(),
                         "station: the page is at http://127.0.0.1:", "station: waiting for cards below"}));
    const size_t at = said_.seen.find("station: the page is at ") + std::string("station: the page is at ").size();
    ASSERT_NO_FATAL_FAILURE(FourCardsAtOnce(said_.seen.substr(at, said_.seen.find('\n', at) - at)));
    ASSERT_NO_FATAL_FAILURE(PulledWhileWritten());
    ASSERT_NO_FATAL_FAILURE(NotReleased());

    EXPECT_EQ(Interrupt(), 74) << said_.seen;
    EXPECT_TRUE(Has(said_.seen, "station: SIGINT: no new cards"));
    EXPECT_TRUE(Has(said_.seen, "batch: 5 cards good, 1 not good\nNOT GOOD: " + (Root() / "slots/pulled").string() +
                                    ": the card folder is no longer"));
    EXPECT_TRUE(Has(said_.seen, "slots/stuck: good, but it could not be released (the test holds it): unmount it by hand\n"));
    EXPECT_EQ(Snap("slots/already"), already);
    ExpectTheLog({"c1", "c2", "c3", "c4", kStuck}, "pulled");
}

// Ctrl-C takes no new card and lets the card being written end whole; a
// second one stops it between two steps, as write's Ctrl-C does, and says
// what the card holds even when its worker stops and ends meanwhile.
struct CtrlCRow {
    const char* name;
    bool twice;
    int code;
    const char* says;
};
class StationCtrlC : public StationTest, public ::testing::WithParamInterface<CtrlCRow> {};

TEST_P(StationCtrlC, TakesNoNewCardAndSaysWhatTheCardInProgressHolds)
{
    std::string why;
    if (!Stage("a", kOld, &why)) GTEST_SKIP() << "cannot mount a tmpfs here (" << why << "); needs root and mount rights";
    ASSERT_TRUE(Stage("b", {}, &why)) << why;
    ASSERT_NO_FATAL_FAILURE(MakePackage());
    const Snapshot old = Snap("staging/a/PreDLMap");
    MakeFolder("slots");
    ASSERT_NO_FATAL_FAILURE(Start(
        {"station", "--any-volume", "--log", "station.jsonl", "--watch", "slots", "pkg/PreDLMap"}, GetParam().twice));
    ASSERT_TRUE(WaitFor({"station: waiting for cards below"}));
    ASSERT_TRUE(Insert("a", &why)) << why;
    ASSERT_TRUE(atTheGate_.Await());
    kill(child_, SIGINT);
    ASSERT_TRUE(WaitFor({"station: SIGINT: no new cards"}));
    ASSERT_TRUE(Insert("b", &why)) << why;
    if (GetParam().twice) kill(child_, SIGINT);
    else gate_.Open(1);
    EXPECT_EQ(Finish(), GetParam().code) << said_.seen;
    EXPECT_TRUE(Has(said_.seen, GetParam().says));
    EXPECT_EQ(said_.seen.find("slots/b:"), std::string::npos) << "a card came after Ctrl-C\n" << said_.seen;
    EXPECT_TRUE(Snap("staging/b").empty());
    if (GetParam().twice) EXPECT_EQ(Snap("staging/a/PreDLMap"), old);
    else ExpectThePackage("staging/a");
    const std::vector<nlohmann::json> log = LogRecords(Root() / "station.jsonl");
    ASSERT_EQ(log.size(), 1u) << Slurp(Root() / "station.jsonl");
    EXPECT_EQ(log[0]["code"], GetParam().code) << log[0];
}

INSTANTIATE_TEST_SUITE_P(
    Signals, StationCtrlC,
    ::testing::Values(CtrlCRow{"Once", false, 0, "batch: 1 card good, 0 not good\n"},
                      CtrlCRow{"Twice", true, 130, "slots/a: holds its old package, whole (stopped while writing)"}),
    ByName());

// FAT32 images behind fusefat, which station writes --in-place as write
// does: two mounted one after the other, both written at once, released
// (unmounted), then mounted again to be looked at and checked.
TEST_F(StationTest, FatCardsBehindFusefatAreWrittenInPlaceAndReleased)
{
    ASSERT_NO_FATAL_FAILURE(MakePackage());
    const std::vector<std::string> cards = {"fat1", "fat2"};
    for (const std::string& card : cards) {
        MakeFolder("slots/" + card);
        fats_.push_back(std::make_unique<FatImage>(Root() / (card + ".img"), Root() / "slots" / card));
    }
    ASSERT_NO_FATAL_FAILURE(
        Start({"station", "--in-place", "--log", "fat.jsonl", "--watch", "slots", "pkg/PreDLMap"}));
    ASSERT_TRUE(WaitFor({"station: waiting for cards below"}));
    for (size_t i = 0; i < cards.size(); ++i) {
        ASSERT_NO_FATAL_FAILURE(fats_[i]->Mount("64M"));
        if (IsSkipped()) return;
        ASSERT_TRUE(WaitFor({"slots/" + cards[i] + ": writing"}));
    }
    gate_.Open(2);
    ASSERT_TRUE(WaitFor({"slots/fat1: good: remove", "slots/fat2: good: remove"}));
    EXPECT_EQ(Interrupt(), 0) << said_.seen;
    EXPECT_TRUE(Has(said_.seen, "batch: 2 cards good, 0 not good\n"));
    for (const nlohmann::json& line : LogRecords(Root() / "fat.jsonl")) {
        EXPECT_EQ(line["result"], "good") << line;
        EXPECT_EQ(line["file_system"], "fuse.fusefat") << line;
    }
    for (size_t i = 0; i < cards.size(); ++i) {
        fats_[i]->UnmountAndCheck(false);
        ASSERT_NO_FATAL_FAILURE(fats_[i]->Remount());
        ExpectThePackage("slots/" + cards[i]);
        EXPECT_FALSE(Exists("slots/" + cards[i] + "/PreDLMap.pelk-incomplete"));
        fats_[i]->UnmountAndCheck();
    }
}

#endif

// What station refuses before it takes any card: each row its arguments,
// its exit code and what it says on stderr.
struct RefusalRow {
    const char* name;
    std::vector<std::string> arguments;
    int code;
    const char* says;
};

class StationRefusal : public InProcessTest, public ::testing::WithParamInterface<RefusalRow> {};

TEST_P(StationRefusal, EndsAtOnceSayingWhy)
{
    ASSERT_NO_FATAL_FAILURE(Sealed("pkg", kNew));
    for (const PackageFile& file : kNew) WriteFile("unsealed/PreDLMap/" + file.path, file.bytes);
    MakeFolder("slots");
    EXPECT_EQ(Tool(GetParam().arguments), GetParam().code) << err_;
    EXPECT_TRUE(Has(err_, GetParam().says));
    EXPECT_EQ(err_.find("waiting for cards"), std::string::npos) << err_;
}

#if !defined(_WIN32)
// --watch may be given again; each folder must be there.
const RefusalRow kWatchRow = {"AFolderToWatchIsMissing",
                              {"station", "--watch", "slots", "--watch", "nowhere", "pkg/PreDLMap"}, 66,
                              "nowhere: No such file or directory"};
#else
const RefusalRow kWatchRow = {"WatchOnWindows", {"station", "--watch", "slots", "pkg/PreDLMap"}, 66,
                              "--watch is for Linux"};
#endif

INSTANTIATE_TEST_SUITE_P(
    Arguments, StationRefusal,
    ::testing::Values(
        RefusalRow{"NoPackage", {"station", "--watch", "slots"}, 64, "station: expected PACKAGE_DIR alone"},
        RefusalRow{"TwoPackages", {"station", "pkg/PreDLMap", "slots"}, 64, "station: expected PACKAGE_DIR alone"},
        RefusalRow{"LogTwice", {"station", "--log", "a", "--log", "b", "pkg/PreDLMap"}, 64,
                   "station: option '--log' given twice"},
        RefusalRow{"UnknownOption", {"station", "--cards", "4", "pkg/PreDLMap"}, 64, "unknown option '--cards'"},
        kWatchRow,
        RefusalRow{"NoManifest", {"station", "--watch", "slots", "unsealed/PreDLMap"}, 64,
                   "writes it (and checksum.ini)"},
        RefusalRow{"PageForOtherMachines", {"station", "--page", "0.0.0.0:8080", "pkg/PreDLMap"}, 64,
                   "other machines could reach it, and it has no password; --page-any-address"},
        RefusalRow{"PageNoAddress", {"station", "--page", "8080", "pkg/PreDLMap"}, 64, "station: --page: "},
        RefusalRow{"PageAnyAddressAlone", {"station", "--page-any-address", "pkg/PreDLMap"}, 64,
                   "--page-any-address goes with --page HOST:PORT"},
        RefusalRow{"LogInAMissingFolder", {"station", "--watch", "slots", "--log", "none/cards.jsonl", "pkg/PreDLMap"},
                   64, "cannot append to the log"}),
    ByName());

} // namespace
