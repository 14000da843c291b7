// What run tells of the job from successive looks at MassStorage: the stale
// files it clears first are never counted as copied, however they are named
// and sized, and no file time is read.
#include <gtest/gtest.h>

#include "LiveLines.h"
#include "Progress.h"
#include "ToolPlatform.h"

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

void PrintTo(const ProgressCase& c, std::ostream* os) { *os << c.name; }

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
    [](const ::testing::TestParamInfo<ProgressCase>& param) { return param.param.name; });

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

void PrintTo(const RedrawCase& c, std::ostream* os) { *os << c.name; }

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
    [](const ::testing::TestParamInfo<RedrawCase>& param) { return param.param.name; });

} // namespace
