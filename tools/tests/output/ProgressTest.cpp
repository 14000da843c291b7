// What run tells of the job from successive looks at MassStorage: the stale
// files it clears first are never counted as copied, however they are named
// and sized, and no file time is read.
#include <gtest/gtest.h>

#include "LiveLines.h"
#include "Progress.h"
#include "ProgressTicker.h"
#include "ToolPlatform.h"
#include "Rows.h"

namespace {

using tool::TreeEntry;

// "F:name:bytes" a file, "D:name" a folder; names are their own keys here.
std::vector<TreeEntry> Tree(const std::vector<std::string>& items)
{
    std::vector<TreeEntry> tree;
    for (const std::string& item : items) {
        const bool folder = item[0] == 'D';
        const size_t colon = item.find(':', 2);
        const std::string name = item.substr(2, colon == std::string::npos ? std::string::npos : colon - 2);
        TreeEntry entry;
        entry.key = tool::DeviceString(name.begin(), name.end());
        entry.folder = folder;
        entry.bytes = folder ? 0 : std::stoull(item.substr(colon + 1));
        entry.entries = 1;
        tree.push_back(entry);
    }
    return tree;
}

struct Look {
    std::vector<std::string> now;
    bool gone;
    bool removed;
    std::vector<std::string> missedButThere; // names the listing missed, still there
    bool copying;
    uint64_t oldFilesLeft;
    uint64_t files;
    uint64_t bytes;
};

struct ProgressCase {
    const char* name;
    std::vector<std::string> stale;
    std::vector<Look> looks;
};


const std::vector<std::string> kPackage = {"D:Map", "F:Map\\a:100", "F:Map\\b:200", "F:c:50"};

class ToolProgress : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(ToolProgress, CountsWhatMassStorageHoldsInTheJobsPhase)
{
    const ProgressCase& c = GetParam();
    tool::ProgressModel model(Tree(kPackage), Tree(c.stale));
    for (size_t i = 0; i < c.looks.size(); ++i) {
        const Look& look = c.looks[i];
        const auto stillThere = [&look](const TreeEntry& entry) {
            for (const std::string& name : look.missedButThere)
                if (entry.key == tool::DeviceString(name.begin(), name.end())) return true;
            return false;
        };
        const tool::JobProgress seen = model.Update(Tree(look.now), look.gone, look.removed, stillThere);
        EXPECT_EQ(seen.copying, look.copying) << "look " << i;
        EXPECT_EQ(seen.oldFilesLeft, look.oldFilesLeft) << "look " << i;
        EXPECT_EQ(seen.files, look.files) << "look " << i;
        EXPECT_EQ(seen.bytes, look.bytes) << "look " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolProgress,
    ::testing::Values(
        ProgressCase{"IntoAnEmptyTarget", {},
                     {{{"D:Map", "F:Map\\a:40"}, false, false, {}, true, 0, 0, 40},
                      {{"D:Map", "F:Map\\a:100", "F:Map\\b:200"}, false, false, {}, true, 0, 2, 300}}},
        // The common reinstall: the stale files are the package's, at its sizes.
        ProgressCase{"OverTheSamePackage", kPackage,
                     {{{"D:Map", "F:Map\\a:100", "F:Map\\b:200", "F:c:50"}, false, false, {}, false, 3, 0, 0},
                      {{"D:Map", "F:c:50"}, false, false, {}, false, 1, 0, 0},
                      {{}, true, false, {}, true, 0, 0, 0},
                      {{"D:Map", "F:Map\\a:100"}, false, false, {}, true, 0, 1, 100}}},
        // Cleared and partly copied between two looks: a file known to be
        // deleted is there again.
        ProgressCase{"ClearedAndCopiedBetweenLooks", kPackage,
                     {{{"F:c:50"}, false, false, {}, false, 1, 0, 0},
                      {{"D:Map", "F:Map\\a:100"}, false, false, {}, true, 0, 1, 100}}},
        // A listing made while the job deletes may miss entries still there:
        // they are neither gone nor, when listed again, copies.
        ProgressCase{"AListingThatMissedEntries", kPackage,
                     {{{"F:c:50"}, false, false, {"Map", "Map\\a", "Map\\b"}, false, 3, 0, 0},
                      {{"D:Map", "F:Map\\a:100", "F:Map\\b:200"}, false, false, {}, false, 2, 0, 0},
                      {{"D:Map"}, false, false, {}, false, 0, 0, 0}}},
        ProgressCase{"ANameTheStaleTreeLacked", {"D:Map", "F:Map\\a:100", "F:Map\\b:200", "F:Map\\old:9"},
                     {{{"D:Map", "F:Map\\old:9"}, false, false, {}, false, 1, 0, 0},
                      {{"F:c:20"}, false, false, {}, true, 0, 0, 20}}},
        ProgressCase{"AnEmptyTargetMeansCleared", {"F:old:9"},
                     {{{}, false, false, {}, true, 0, 0, 0}, {{"F:c:50"}, false, false, {}, true, 0, 1, 50}}},
        // The MassStorage the job found was removed: what is there now is copies.
        ProgressCase{"TheStaleFolderRemoved", kPackage,
                     {{{"D:Map", "F:Map\\a:100", "F:Map\\b:200", "F:c:50"}, false, false, {}, false, 3, 0, 0},
                      {{"D:Map", "F:Map\\a:100", "F:Map\\b:20"}, false, true, {}, true, 0, 1, 120}}},
        // Files not in the package and oversized copies count only up to the package's sizes.
        ProgressCase{"OnlyPackageFilesUpToTheirSizes", {},
                     {{{"F:c:70", "F:extra:5"}, false, false, {}, true, 0, 0, 50}}}),
    ByName());

// ---- progress lines redrawn in place -----------------------------------

// What the lines did to the terminal: text as written, "<up N>" and "<clr>".
std::string g_terminal;

void RecordWrite(const std::string& text) { g_terminal += text; }
void RecordLineUp(size_t lines) { g_terminal += "<up " + std::to_string(lines) + ">"; }
void RecordClearToEnd() { g_terminal += "<clr>"; }

struct RedrawCase {
    const char* name;
    std::vector<std::vector<std::string>> frames; // shown one after the other
    bool clearAtEnd;
    std::string terminal; // all that reached the terminal
};


class LiveLinesTest : public ::testing::TestWithParam<RedrawCase> {
protected:
    void SetUp() override
    {
        g_terminal.clear();
        tool::g_terminalCalls = {RecordWrite, RecordLineUp, RecordClearToEnd};
    }
    void TearDown() override { tool::g_terminalCalls = tool::kTerminalCalls; }
};

TEST_P(LiveLinesTest, RedrawsOnlyWhatChanged)
{
    const RedrawCase& c = GetParam();
    tool::LiveLines lines;
    for (const std::vector<std::string>& frame : c.frames) lines.Show(frame);
    if (c.clearAtEnd) lines.Clear();
    EXPECT_EQ(g_terminal, c.terminal);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LiveLinesTest,
    ::testing::Values(RedrawCase{"TheFirstFrameDrawsEveryLine", {{"a", "b"}}, false, "a<clr>\nb<clr>\n"},
                      // A console that scrolls on each write shows no line twice.
                      RedrawCase{"TheSameTextDrawsNothing", {{"a", "b"}, {"a", "b"}, {"a", "b"}}, false,
                                 "a<clr>\nb<clr>\n"},
                      RedrawCase{"OnlyTheLinesFromTheFirstChangeOn", {{"a", "b"}, {"a", "c"}}, false,
                                 "a<clr>\nb<clr>\n<up 1>c<clr>\n"},
                      RedrawCase{"AnUnchangedLineBelowIsSteppedOver", {{"a", "b"}, {"x", "b"}}, false,
                                 "a<clr>\nb<clr>\n<up 2>x<clr>\n\n"},
                      RedrawCase{"FewerLinesBlankTheRest", {{"a", "b"}, {"a"}}, false,
                                 "a<clr>\nb<clr>\n<up 1><clr>\n<up 1>"},
                      RedrawCase{"ClearingLeavesTheCursorOnTheFirstBlankedLine", {{"a", "b"}}, true,
                                 "a<clr>\nb<clr>\n<up 2><clr>\n<clr>\n<up 2>"},
                      RedrawCase{"NothingShownNothingCleared", {}, true, ""}),
    ByName());

// The one ticker every command's progress runs on: by hand it ticks only
// when told, by the clock until Stop, and never after Stop returns.
TEST(Ticker, TicksByHandAndByTheClockAndNeverOnceStopped)
{
    int byHand = 0;
    tool::Ticker manual(std::chrono::milliseconds(0), [&byHand] { ++byHand; });
    manual.Tick();
    manual.Tick();
    manual.Stop();
    manual.Tick();
    EXPECT_EQ(byHand, 2);

    std::mutex mutex;
    std::condition_variable ticked;
    int ticks = 0;
    bool inside = false;
    tool::Ticker clock(std::chrono::milliseconds(1), [&] {
        std::lock_guard<std::mutex> guard(mutex);
        inside = true;
        ++ticks;
        ticked.notify_all();
        inside = false;
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        ticked.wait(lock, [&ticks] { return ticks >= 3; }); // a handshake with the ticker's thread
    }
    clock.Stop();
    std::lock_guard<std::mutex> guard(mutex);
    EXPECT_FALSE(inside);
}

struct RateCase {
    uint64_t done;
    double seconds;
    uint64_t left;
    std::string text;
};

class RateText : public ::testing::TestWithParam<RateCase> {};

TEST_P(RateText, TellsTheRateAndTheTimeLeftInOneForm)
{
    const RateCase& c = GetParam();
    EXPECT_EQ(tool::RateText(c.done, c.seconds, c.left), c.text);
}

INSTANTIATE_TEST_SUITE_P(Cases, RateText,
                         ::testing::Values(RateCase{4 << 20, 1.0, 8 << 20, "4.0 MiB/s ETA 0:02"},
                                           RateCase{1 << 20, 2.0, 1890ull << 20, "512.0 KiB/s ETA 1:03:00"},
                                           RateCase{0, 5.0, 1 << 20, ""},      // nothing done: no rate
                                           RateCase{1 << 20, 0.5, 1 << 20, ""})); // too soon to tell

#if defined(_WIN32)
// ---- the Windows console: escape sequences or the console API ------------

// A console of 80 columns, the cursor at column 5 of row 10, whose calls are
// logged; the probe's sequence moves the cursor by `shownAsText` columns
// where the console shows it as text.
struct FakeConsole {
    DWORD mode = 0;
    BOOL takesVt = TRUE;
    SHORT shownAsText = 0;
    bool isConsole = true;
    COORD cursor = {5, 10};
    int looks = 0;
    std::string log;
} g_console;

BOOL WINAPI FakeGetMode(HANDLE, DWORD* mode)
{
    *mode = g_console.mode;
    return g_console.isConsole;
}

BOOL WINAPI FakeSetMode(HANDLE, DWORD mode)
{
    g_console.log += "mode;";
    if (g_console.takesVt) g_console.mode = mode;
    return g_console.takesVt;
}

BOOL WINAPI FakeGetInfo(HANDLE, CONSOLE_SCREEN_BUFFER_INFO* info)
{
    // The second look is the one after the probe was written.
    if (++g_console.looks == 2) g_console.cursor.X = static_cast<SHORT>(g_console.cursor.X + g_console.shownAsText);
    *info = CONSOLE_SCREEN_BUFFER_INFO{};
    info->dwSize = COORD{80, 300};
    info->dwCursorPosition = g_console.cursor;
    info->srWindow = SMALL_RECT{0, 0, 79, 24};
    return TRUE;
}

std::string At(COORD where) { return std::to_string(where.X) + "," + std::to_string(where.Y); }

BOOL WINAPI FakeSetCursor(HANDLE, COORD where)
{
    g_console.log += "cursor " + At(where) + ";";
    g_console.cursor = where;
    return TRUE;
}

BOOL WINAPI FakeFill(HANDLE, WCHAR, DWORD count, COORD start, DWORD* written)
{
    g_console.log += "fill " + std::to_string(count) + " at " + At(start) + ";";
    *written = count;
    return TRUE;
}

BOOL WINAPI FakeFillAttribute(HANDLE, WORD, DWORD count, COORD start, DWORD* written)
{
    g_console.log += "attribute " + std::to_string(count) + " at " + At(start) + ";";
    *written = count;
    return TRUE;
}

struct ConsoleCase {
    const char* name;
    FakeConsole console;
    int columns;
    std::string log; // the console calls: the choice, then two lines up and a clear to the end
};


class ConsoleChoiceTest : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(ConsoleChoiceTest, EscapesOnlyWhereTheConsoleTakesThemElseTheConsoleApi)
{
    const ConsoleCase& c = GetParam();
    g_console = c.console;
    tool::g_consoleCalls = {FakeGetMode, FakeSetMode, FakeGetInfo, FakeSetCursor, FakeFill, FakeFillAttribute};
    // A handle of its own for each row: the choice is made once a console.
    HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
    static uintptr_t fakeHandle = 0x7000;
    SetStdHandle(STD_ERROR_HANDLE, reinterpret_cast<HANDLE>(fakeHandle += 4));
    const int columns = tool::ErrorTerminalColumns();
    if (columns > 0) {
        tool::g_terminalCalls.lineUp(2);
        tool::g_terminalCalls.clearToEnd();
    }
    SetStdHandle(STD_ERROR_HANDLE, standardError);
    tool::g_consoleCalls = tool::kConsoleCalls;
    EXPECT_EQ(columns, c.columns);
    EXPECT_EQ(g_console.log, c.log);
}

FakeConsole Console(DWORD mode, BOOL takesVt, SHORT shownAsText, bool isConsole = true)
{
    FakeConsole console;
    console.mode = mode;
    console.takesVt = takesVt;
    console.shownAsText = shownAsText;
    console.isConsole = isConsole;
    return console;
}

const std::string kByTheConsoleApi = "cursor 0,8;fill 80 at 0,8;attribute 80 at 0,8;";

INSTANTIATE_TEST_SUITE_P(
    Cases, ConsoleChoiceTest,
    ::testing::Values(ConsoleCase{"VtTaken", Console(0, TRUE, 0), 80, "mode;"},
                      ConsoleCase{"VtAlreadyOn", Console(ENABLE_VIRTUAL_TERMINAL_PROCESSING, TRUE, 0), 80, ""},
                      // Wine: the mode is taken, the sequence shown; what it printed is blanked.
                      ConsoleCase{"VtTakenButShownAsText", Console(0, TRUE, 3), 80,
                                  "mode;cursor 5,10;fill 3 at 5,10;" + kByTheConsoleApi},
                      ConsoleCase{"VtRefused", Console(0, FALSE, 0), 80, "mode;" + kByTheConsoleApi},
                      ConsoleCase{"NoConsole", Console(0, TRUE, 0, false), 0, ""}),
    ByName());
#endif

} // namespace
