// The tool's one name rule and its count of FAT directory entries, on the
// device's UTF-16 units as both platforms' file services report them.
#include <gtest/gtest.h>

#include "Names.h"
#include "Rows.h"

namespace {

tool::DeviceName Units(const std::u16string& text) { return tool::DeviceName(text.begin(), text.end()); }

struct NameCase {
    const char* name;
    std::u16string units;
    std::vector<std::string> problems;
    std::string shown;
};


class ToolNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(ToolNames, FindsEveryReasonOnceAndShowsTheNameEscaped)
{
    const NameCase& c = GetParam();
    EXPECT_EQ(tool::NameProblems(Units(c.units)), c.problems);
    EXPECT_EQ(tool::EscapedName(Units(c.units)), c.shown);
}

const char kDevice[] = "which Windows opens as the device, so no Windows PC writes it to a card";

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolNames,
    ::testing::Values(
        NameCase{"Plain", u"DE.map", {}, "DE.map"},
        NameCase{"NotReservedWhenLonger", u"CONSOLE.txt", {}, "CONSOLE.txt"},
        NameCase{"NotReservedCom0", u"COM0", {}, "COM0"},
        NameCase{"ReservedAnyCase", u"nUl.txt", {std::string("is the device name NUL, ") + kDevice}, "nUl.txt"},
        NameCase{"ReservedWithTwoExtensions", u"con.tar.gz", {std::string("is the device name CON, ") + kDevice},
                 "con.tar.gz"},
        NameCase{"ReservedBeforeSpaces", u"LPT9 .x", {std::string("is the device name LPT9, ") + kDevice}, "LPT9 .x"},
        NameCase{"ReservedComPort", u"com1.Map", {std::string("is the device name COM1, ") + kDevice}, "com1.Map"},
        // The host layer's escapes: a byte that is not UTF-8, a forbidden
        // character; Wine shows a Linux name's ":" the same way.
        NameCase{"NotUtf8", u"caf\xDCE9.csv", {"is not valid UTF-8, so it has no FAT long-name form"}, "caf\\xE9.csv"},
        NameCase{"UnpairedSurrogate", u"a\xD800z", {"holds an unpaired UTF-16 surrogate, so it has no FAT long-name form"},
                 "a\\uD800z"},
        NameCase{"PairedSurrogatesAreFine", u"\xD83D\xDE00.txt", {}, "\xF0\x9F\x98\x80.txt"},
        NameCase{"EscapedColon", u"a\xF03A" u"b", {"holds \":\""}, "a:b"},
        NameCase{"RawColon", u"a:b", {"holds \":\""}, "a:b"},
        NameCase{"ControlCharacter", u"a\tb", {"holds a control character"}, "a\\x09b"},
        NameCase{"EscapedControlCharacter", u"a\xF009" u"b", {"holds a control character"}, "a\\x09b"},
        NameCase{"EveryReasonOnce", u"nul.?*?.", {std::string("is the device name NUL, ") + kDevice, "holds \"?\"",
                                                 "holds \"*\"", "ends in a dot"},
                 "nul.?*?."},
        NameCase{"TrailingSpace", u"old ", {"ends in a space"}, "old "}),
    ByName());

struct EntriesCase {
    const char* name;
    std::u16string units;
    uint64_t entries;
};


class ToolDirectoryEntries : public ::testing::TestWithParam<EntriesCase> {};

TEST_P(ToolDirectoryEntries, CountsAsWindowsAndLinuxStoreTheName)
{
    EXPECT_EQ(tool::DirectoryEntries(Units(GetParam().units)), GetParam().entries);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ToolDirectoryEntries,
    ::testing::Values(EntriesCase{"UpperCase83", u"T1000.MAP", 1}, EntriesCase{"UpperCaseNoExtension", u"README", 1},
                      EntriesCase{"DigitsAndSymbols", u"A_1$~(2).TX", 1},
                      // Windows keeps an all-lower-case base or extension in the case flags.
                      EntriesCase{"LowerCaseBase", u"tile.MAP", 1}, EntriesCase{"LowerCaseExtension", u"TILE.map", 1},
                      EntriesCase{"AllLowerCase", u"checksum.ini", 1}, EntriesCase{"LowerCase83", u"de.map", 1},
                      EntriesCase{"MixedCaseBase", u"Tile.map", 2}, EntriesCase{"NineCharacterBase", u"ABCDEFGHI.MAP", 2},
                      EntriesCase{"FourCharacterExtension", u"A.JPEG", 2}, EntriesCase{"TwoDots", u"A.B.C", 2},
                      EntriesCase{"Space", u"A B.MAP", 2}, EntriesCase{"NotAscii", u"\xDC" u"BER.TXT", 2},
                      EntriesCase{"ThirteenUnits", u"PreDLVerno.in", 2}, EntriesCase{"FourteenUnits", u"PreDLVerno.ini", 3},
                      EntriesCase{"LeadingDot", u".hidden", 2}),
    ByName());

} // namespace
