// The names a card can hold, as one rule for the Linux and the Windows tool:
// names are taken in the device's UTF-16 units, where the host file layer
// keeps a byte that is not UTF-8 as U+DC80..U+DCFF and a character Win32
// forbids as U+F000 plus the character (Wine shows Linux names the same way).
#ifndef PELK_TOOLS_NAMES_H
#define PELK_TOOLS_NAMES_H

#include <cstdint>
#include <string>
#include <vector>

#include "Platform.h"

namespace tool {

using DeviceName = std::basic_string<WCHAR>;

// Why a card cannot hold the name, one reason a phrase ("ends in a dot");
// empty when it can.
std::vector<std::string> NameProblems(const DeviceName& name);

// CON, PRN, AUX, NUL, COM1-9 or LPT1-9 in any case, with any extension:
// Windows opens such a name as the device, never as a file.
bool IsReservedDeviceName(const DeviceName& name);

// The name as UTF-8 for messages: a byte that is not UTF-8 and a control
// character as \xHH, any other unpaired surrogate as \uHHHH.
std::string EscapedName(const DeviceName& name);
// Bytes meant as UTF-8 the same way: a byte that is not UTF-8 and a control
// character as \xHH; the result is valid UTF-8 on one line.
std::string EscapedBytes(const std::string& bytes);

// The 32-byte entries a FAT folder gives the name as Windows and Linux
// write it: one for a valid 8.3 name in upper case, or with a base or an
// extension all in lower case (Windows keeps that in the entry's case
// flags); else one for each 13 UTF-16 units of its long name, plus one.
uint64_t DirectoryEntries(const DeviceName& name);

// The short name FAT drivers give a long name first ("~1"), in upper case;
// empty when the name is an 8.3 name itself.
DeviceName ShortNameOf(const DeviceName& name);

} // namespace tool

#endif
