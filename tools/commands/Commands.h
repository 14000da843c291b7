// What the commands share: each command's entry, its help, its usage errors
// and failures, the option parser's use and the lock on a card. Each command
// is in a file of its own: commands/Verify.cpp (verify and seal),
// commands/Run.cpp, cards/Write.cpp and cards/Station.cpp (both over
// cards/CardWriter.h), cards/Check.cpp; cli/Main.cpp prints the help and
// dispatches.
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
#include "Words.h"

namespace tool {

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

struct FolderLock;
struct LockHolder;
// Locks folder for COMMAND, the one that may write its card now: shown names
// it in the refusal (75) when another pelk-mapcopy holds it, cannot begins
// the failure (66) when it cannot be locked ("cannot enter the device root X").
Stop LockForWriting(const std::filesystem::path& folder, const std::filesystem::path& shown, const char* command,
                    const std::string& cannot, FolderLock** lock);
// Who holds the lock on the folder shown, for a refusal.
std::string HeldBy(const LockHolder& holder, const std::filesystem::path& shown);

} // namespace tool

#endif
