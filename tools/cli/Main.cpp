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
#include "ToolPlatform.h"

namespace tool {

const char kUsage[] =
    "Usage:\n"
    "  pelk-mapcopy run [--device-root DIR] [--library FILE] [--force]\n"
    "  pelk-mapcopy seal [--force] [--] PACKAGE_DIR\n"
    "  pelk-mapcopy verify [--force] [--] PACKAGE_DIR\n"
    "  pelk-mapcopy write [--log FILE] [--in-place] [--any-volume] [--]\n"
    "                     PACKAGE_DIR CARD_DIR...\n"
    "  pelk-mapcopy station [--log FILE] [--in-place] [--any-volume]\n"
    "                       [--watch DIR]... [--] PACKAGE_DIR\n"
    "  pelk-mapcopy check [--log FILE] [--] CARD_DIR...\n"
    "  pelk-mapcopy help [COMMAND] | --help [COMMAND] | --version\n";


namespace {

const char kToolHelp[] =
    "pelk-mapcopy - prepare a map card and install it as the device does\n"
    "\n"
    "%s"
    "\n"
    "Commands:\n"
    "  verify  predict the device's job on PACKAGE_DIR and name what would fail\n"
    "  seal    write the package sum into PACKAGE_DIR/checksum.ini and its manifest\n"
    "          beside PACKAGE_DIR\n"
    "  write   write a sealed package onto cards, read it back and prove it\n"
    "  check   read written cards back and prove each against its manifest and sum\n"
    "  station write a sealed package onto every card that comes, until Ctrl-C\n"
    "  run     run the device's map copy job on a device folder\n"
    "\n"
    "Options take their value as --opt=value or --opt value; -- ends the options.\n"
    "\n"
    "Exit codes: run gives the job's status (0..6), verify the status the device's\n"
    "job would give; 64 usage error or a command refused, 65 a package no card can\n"
    "hold as it stands (verify: also one that differs from its manifest, where\n"
    "the job would give 0), 66 folder cannot be opened, 69 module not loadable,\n"
    "70 the module returned a code it does not document, or 0 with MassStorage not\n"
    "holding the package, 74 checksum.ini not writable, 75 another pelk-mapcopy is\n"
    "using the device root, 130 (143) run, write or a station stopped twice\n"
    "interrupted by SIGINT (SIGTERM). write, station and check give the largest\n"
    "of their cards' codes (see their help).\n";

} // namespace


namespace {

bool IsHelp(const std::string& argument) { return argument == "--help" || argument == "-h"; }

int Help(const std::vector<std::string>& arguments)
{
    if (arguments.empty()) {
        printf(kToolHelp, kUsage);
        return 0;
    }
    if (arguments.size() > 1) return UsageError("help: expected at most one COMMAND");
    const std::string& command = arguments[0];
    if (command == "run") fputs(kRunHelp, stdout);
    else if (command == "seal") fputs(kSealHelp, stdout);
    else if (command == "verify") fputs(kVerifyHelp, stdout);
    else if (command == "write") fputs(kWriteHelp, stdout);
    else if (command == "station") fputs(kStationHelp, stdout);
    else if (command == "check") fputs(kCheckHelp, stdout);
    else if (command == "help") printf(kToolHelp, kUsage);
    else return UsageError("help: unknown command '" + command + "'");
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
    if (command != "run" && command != "seal" && command != "verify" && command != "write" &&
        command != "station" && command != "check")
        return UsageError("unknown command '" + command + "'");
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
