// Every command once: its synopsis, summary, options, exit codes and help.
// The help texts, the usage on a usage error and the option parser's tables
// are made from it; the manual page is tested against it (ManPageTest).
#ifndef PELK_TOOLS_COMMAND_TABLE_H
#define PELK_TOOLS_COMMAND_TABLE_H

#include <string>
#include <vector>

#include "CommandLine.h"

namespace tool {

struct CommandOption {
    const char* name;  // "--log"
    const char* value; // "FILE", or nullptr for an option that takes none
    bool repeatable;
    // Its help, broken into lines with \n; a leading \n puts the help below
    // the option rather than beside it.
    const char* help;
};

struct CommandExit {
    int code;
    const char* meaning; // one line, wrapped where it is shown
};

struct CommandEntry {
    const char* name;
    // What follows "pelk-mapcopy NAME", broken into lines with \n.
    const char* synopsis;
    const char* summary; // its line in pelk-mapcopy --help; help's is the tool's title
    std::vector<CommandOption> options;
    std::vector<CommandExit> exits;
    // Between the usage and the exit codes; for help, after the command list.
    const char* body;
};

// run, seal, verify, write, station, check, help: in the usage's order.
const std::vector<CommandEntry>& CommandTable();
const CommandEntry* FindCommand(const std::string& name);

// The option parser's table for the command.
std::vector<OptionRule> OptionRules(const char* command);

// "Usage:" and every command's synopsis: what a usage error shows.
std::string UsageText();
// pelk-mapcopy help COMMAND; help's own is the tool's help.
std::string HelpText(const CommandEntry& command);

} // namespace tool

#endif
