// The manual page, written by hand, against the command table the help and
// the option parser are made from: its SYNOPSIS is the usage, each
// command's entry under COMMANDS names exactly that command's options, and
// EXIT STATUS is every command's codes with their meanings, word for word.
#include <gtest/gtest.h>

#include <fstream>
#include <iomanip>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CommandTable.h"

namespace {

using tool::CommandEntry;
using tool::CommandTable;

using Lines = std::vector<std::string>;

// The lines of the page's section NAME, up to the next .SH.
Lines Section(const std::string& name)
{
    std::ifstream in(PELK_MAN_PAGE);
    EXPECT_TRUE(in) << "cannot read " << PELK_MAN_PAGE;
    Lines lines;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind(".SH ", 0) == 0) inside = line == ".SH " + name;
        else if (inside) lines.push_back(line);
    }
    EXPECT_FALSE(lines.empty()) << "no section " << name;
    return lines;
}

// The section cut at each line that is `at`.
std::vector<Lines> Split(const Lines& lines, const std::string& at)
{
    std::vector<Lines> parts;
    for (const std::string& line : lines) {
        if (line == at) parts.emplace_back();
        else if (!parts.empty()) parts.back().push_back(line);
    }
    return parts;
}

std::string Unescaped(std::string text)
{
    for (size_t at; (at = text.find("\\-")) != std::string::npos;) text.erase(at, 1);
    return text;
}

// The words as shown: a font macro's arguments, quotes dropped; two-font
// ones (.BR, .IR ...) set their arguments side by side.
std::string Plain(const Lines& lines)
{
    std::string out;
    for (const std::string& line : lines) {
        std::string shown = line;
        const std::smatch macro = [&] {
            std::smatch m;
            std::regex_match(line, m, std::regex(R"(\.([BIR]{1,2}) (.*))"));
            return m;
        }();
        if (!macro.empty()) {
            Lines words;
            std::istringstream args(macro[2].str());
            for (std::string word; args >> std::quoted(word);) words.push_back(word);
            const std::string glue = macro[1].length() == 2 ? "" : " ";
            shown.clear();
            for (const std::string& word : words) shown += (shown.empty() ? "" : glue) + word;
        }
        out += (out.empty() ? "" : " ") + shown;
    }
    return Unescaped(out);
}

std::set<std::string> OptionsIn(const std::string& text)
{
    std::set<std::string> options;
    const std::regex option(R"(--[a-z][a-z-]*)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it)
        options.insert(it->str());
    return options;
}

std::set<std::string> TableOptions(const CommandEntry& command)
{
    std::set<std::string> options;
    for (const tool::CommandOption& option : command.options) options.insert(option.name);
    return options;
}

std::string OneLine(std::string text)
{
    for (char& c : text)
        if (c == '\n') c = ' ';
    return text;
}

TEST(ManPage, SynopsisIsTheUsage)
{
    Lines synopsis = Section("SYNOPSIS");
    synopsis.insert(synopsis.begin(), ".br");
    Lines page;
    for (const Lines& part : Split(synopsis, ".br")) page.push_back(Plain(part));
    Lines table;
    for (const CommandEntry& command : CommandTable()) {
        const std::string usage = OneLine(command.synopsis);
        table.push_back("pelk-mapcopy " + std::string(command.name) + " " + usage);
        // The usage names every option the parser takes, and no other.
        if (command.name != std::string("help")) {
            EXPECT_EQ(OptionsIn(usage), TableOptions(command)) << command.name;
        }
    }
    EXPECT_EQ(page, table);
}

TEST(ManPage, EachCommandsEntryNamesExactlyItsOptions)
{
    std::map<std::string, std::set<std::string>> page;
    for (const Lines& entry : Split(Section("COMMANDS"), ".TP")) {
        ASSERT_FALSE(entry.empty());
        std::istringstream head(Plain({entry[0]}));
        std::string name;
        head >> name;
        page[name] = OptionsIn(Plain(entry));
    }
    std::map<std::string, std::set<std::string>> table;
    for (const CommandEntry& command : CommandTable())
        if (command.name != std::string("help")) table[command.name] = TableOptions(command);
    EXPECT_EQ(page, table);
}

// The page's words: an option's dashes as \-, no line that roff would take
// for a request.
std::string Roff(const std::string& text)
{
    std::string out, line;
    std::istringstream words(text);
    for (std::string word; words >> word;) {
        if (word[0] == '-') word = std::regex_replace(word, std::regex("-"), "\\-");
        if (word[0] == '.' || word[0] == '\'') word = "\\&" + word;
        if (!line.empty() && line.size() + 1 + word.size() > 72) {
            out += line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return out + line + "\n";
}

TEST(ManPage, ExitStatusIsEveryCommandsCodes)
{
    std::map<int, std::vector<std::pair<std::string, std::string>>> codes;
    for (const CommandEntry& command : CommandTable())
        for (const tool::CommandExit& exit : command.exits) codes[exit.code].emplace_back(command.name, exit.meaning);
    std::string table;
    for (const auto& [code, meanings] : codes) {
        table += ".TP\n.B " + std::to_string(code) + "\n";
        for (size_t i = 0; i < meanings.size(); ++i)
            table += (i ? ".br\n" : "") + std::string(".BR ") + meanings[i].first + " :\n" + Roff(meanings[i].second);
    }
    std::string page;
    for (const std::string& line : Section("EXIT STATUS")) page += line + "\n";
    EXPECT_EQ(page, table) << "the page's EXIT STATUS from the table:\n" << table;
}

} // namespace
