// The words and numbers every command shows its results in, and its exit
// codes beyond the job's 0..6.
#ifndef PELK_TOOLS_WORDS_H
#define PELK_TOOLS_WORDS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tool {

// Exit codes beyond the job's 0..6, from sysexits.h.
constexpr int kExitUsage = 64;       // also: a command refused
constexpr int kExitNoInput = 66;     // a folder named on the command line cannot be opened
constexpr int kExitUnavailable = 69; // the module cannot be loaded
constexpr int kExitSoftware = 70;    // the module returned a code it does not document
constexpr int kExitIoError = 74;     // checksum.ini cannot be written
constexpr int kExitInUse = 75;       // another pelk-mapcopy holds the device root

// The exit code of a package that no card can hold as it stands.
constexpr int kExitNotForACard = 65;

// A step's result: the exit code to stop with, or none to go on.
using Stop = std::optional<int>;

std::string Grouped(uint64_t count);                            // 1,234
std::string Plural(uint64_t count, const char* one, const char* many); // "1 file", "2 files"
std::string Size(uint64_t bytes);                               // every size the tool shows, in one style
std::string Hex(uint32_t value);                                // at least four digits, as the 16 bits compared
std::string StatusName(int32_t status);                         // "6 STATUS_CHECKSUM_FAILED"
std::string StatusLine(int32_t status);                         // "0 STATUS_OK: the package was installed..."
// Why fewer files are summed than copied; names each excluded file beyond
// the package root's checksum.ini and PreDLVerno.ini.
std::string NotSummed(uint64_t other, const std::vector<std::string>& belowTheRoot = {});

// The text with a to z as A to Z.
std::string UpperAscii(std::string text);

} // namespace tool

#endif
