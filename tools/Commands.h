// What the commands share: their exit codes, their words for numbers and
// sizes, the option parser's use, and each command's entry. Each command is
// in a file of its own: Verify.cpp (verify and seal), Run.cpp, Write.cpp,
// Station.cpp (both over CardWriter.h), Check.cpp, Main.cpp (help and the
// dispatch); the pre-flight verify, seal and run make is Preflight.h.
#ifndef PELK_TOOLS_COMMANDS_H
#define PELK_TOOLS_COMMANDS_H

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "CommandTable.h"

namespace tool {

// Exit codes beyond the job's 0..6, from sysexits.h.
constexpr int kExitUsage = 64;       // also: a command refused
constexpr int kExitNoInput = 66;     // a folder named on the command line cannot be opened
constexpr int kExitUnavailable = 69; // the module cannot be loaded
constexpr int kExitSoftware = 70;    // the module returned a code it does not document
constexpr int kExitIoError = 74;     // checksum.ini cannot be written
constexpr int kExitInUse = 75;       // another pelk-mapcopy holds the device root

// A step's result: the exit code to stop with, or none to go on.
using Stop = std::optional<int>;

int Verify(const std::vector<std::string>& arguments);
int Seal(const std::vector<std::string>& arguments);
int Run(const std::vector<std::string>& arguments);
int Write(const std::vector<std::string>& arguments); // Write.cpp
int Station(const std::vector<std::string>& arguments); // Station.cpp
int Check(const std::vector<std::string>& arguments); // Check.cpp

// Prints the message and the usage on stderr; returns kExitUsage.
int UsageError(const std::string& message);
// Prints "pelk-mapcopy: message" on stderr; returns code.
int Failure(int code, const std::string& message);

// Parses a command's arguments, expecting `operands` operands.
Stop Parse(const char* command, const std::vector<std::string>& arguments, const std::vector<OptionRule>& table,
           size_t operands, ParsedArguments* parsed);

std::string Grouped(uint64_t count);                            // 1,234
std::string Plural(uint64_t count, const char* one, const char* many); // "1 file", "2 files"
std::string Size(uint64_t bytes);                               // every size the tool shows, in one style
std::string Hex(uint32_t value);                                // at least four digits, as the 16 bits compared
std::string StatusLine(int32_t status);                         // "0 STATUS_OK: the package was installed..."
// Why fewer files are summed than copied; names each excluded file beyond
// the package root's checksum.ini and PreDLVerno.ini.
std::string NotSummed(uint64_t other, const std::vector<std::string>& belowTheRoot = {});

struct FolderLock;
struct LockHolder;
// Locks folder for COMMAND, the one that may write its card now: shown names
// it in the refusal (75) when another pelk-mapcopy holds it, cannot begins
// the failure (66) when it cannot be locked ("cannot enter the device root X").
Stop LockForWriting(const std::filesystem::path& folder, const std::filesystem::path& shown, const char* command,
                    const std::string& cannot, FolderLock** lock);
// Who holds the lock on the folder shown, for a refusal.
std::string HeldBy(const LockHolder& holder, const std::filesystem::path& shown);

// The text with a to z as A to Z.
std::string UpperAscii(std::string text);

} // namespace tool

#endif
