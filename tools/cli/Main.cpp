// pelk-mapcopy: the PC side of the map card. "run" plays the device
// application (loads the module, runs the job, reports its status); "seal"
// and "verify" check a package with the library's own code and write or
// compare its checksum.ini. Each command is in a file of its own
// (Commands.h); everything that depends on the system is in ToolPlatform.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "CommandLine.h"
#include "CommandTable.h"
#include "ToolPlatform.h"

namespace tool {

namespace {

bool IsHelp(const std::string& argument) { return argument == "--help" || argument == "-h"; }

int Help(const std::vector<std::string>& arguments)
{
    if (arguments.size() > 1) return UsageError("help: expected at most one COMMAND");
    const CommandEntry* command = FindCommand(arguments.empty() ? "help" : arguments[0]);
    if (!command) return UsageError("help: unknown command '" + arguments[0] + "'");
    fputs(HelpText(*command).c_str(), stdout);
    return 0;
}


} // namespace

int Main(const std::vector<std::string>& all)
{
    if (all.empty()) return UsageError("no command given");
    const std::string& command = all[0];
    const std::vector<std::string> arguments(all.begin() + 1, all.end());
    if (command == "help" || IsHelp(command)) return Help(arguments);
    if (command == "--version") {
        printf("pelk-mapcopy %s\n", PELK_VERSION);
        return 0;
    }
    if (!FindCommand(command)) return UsageError("unknown command '" + command + "'");
    for (const std::string& argument : OptionPart(arguments))
        if (IsHelp(argument)) return Help({command});
    if (command == "run") return Run(arguments);
    if (command == "seal") return Seal(arguments);
    if (command == "write") return Write(arguments);
    if (command == "station") return Station(arguments);
    if (command == "check") return Check(arguments);
    return Verify(arguments);
}

} // namespace tool
