// The pre-flight verify, seal and run share: the package as the device's
// job would meet it, and its checksum.ini as the device reads it.
#ifndef PELK_TOOLS_PREFLIGHT_H
#define PELK_TOOLS_PREFLIGHT_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "Package.h"

namespace tool {

enum class ChecksumKind { Number, Missing, Folder, Unreadable, Empty, Text, Utf8Mark, Utf16Marked, Utf16, LeadingNuls };

struct ChecksumReading {
    ChecksumKind kind = ChecksumKind::Missing;
    uint32_t value = 0;  // as the device reads it: 0 without a number
    std::string detail;  // the reason it cannot be read, the text it begins with, or its NULs
    std::string number;  // the text the device reads as the number
    long stoppedAt = -1; // the byte where the device's reading stopped, -1 at the end
    int stopByte = -1;   // that byte
};

// checksum.ini in the device folder ("" for the device root).
ChecksumReading ReadChecksum(const DeviceString& folder);

// The line verify prints for checksum.ini; sealWith is the folder to seal,
// empty where sealing is not the way on.
std::string ChecksumLine(const ChecksumReading& reading, const std::string& sealWith);

// The package as the device's job would meet it.
struct Preflight {
    PackageCheck check;
    ChecksumReading checksum;
    int verdict = 0; // kExitNotForACard, else the status the job would return

    bool Clean() const { return verdict == 0 && check.findings.empty(); }
};

Preflight PredictJob(const DeviceString& folder, const FileReader& reader = nullptr);

void PrintFindings(FILE* stream, const PackageCheck& check);

// What verify prints before its verdict, and run before a refusal; sealWith
// as ChecksumLine takes it.
void PrintPreflight(FILE* stream, const Preflight& preflight, const std::string& sealWith);

// The verdict in words, after the pre-flight's lines.
std::string VerdictLine(int verdict);

// For a checksum that holds a number but not the package's sum: the way to
// a matching one, when the package was changed on purpose.
std::string ResealHint(const Preflight& preflight, const std::string& sealWith);

} // namespace tool

#endif
