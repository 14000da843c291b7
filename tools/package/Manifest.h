// A package's manifest, as sha256sum writes and checks it: one line per
// file, "<64 hex digits>  <path>" with the path relative to the package
// folder, "/" between names, sorted. seal writes it beside the package
// folder (never inside it: the device copies and sums everything there),
// verify names what changed since, and write proves a card against it.
#ifndef PELK_TOOLS_MANIFEST_H
#define PELK_TOOLS_MANIFEST_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ToolPlatform.h"

namespace tool {

// One file read once: its SHA-256 and its byte sum as the device adds its
// bytes (the library's AddBytesToSum), taken from the same chunks.
struct FileDigest {
    std::string sha256;
    uint16_t sum = 0;
    uint64_t bytes = 0;
};

// Reads file in ChunkBuffer::kBytes chunks; progress, when given, hears the
// bytes of each chunk. On failure sets *why.
bool DigestFile(const std::filesystem::path& file, ReadMode mode, FileDigest* digest, std::string* why,
                const std::function<void(uint64_t)>& progress = nullptr);
// The same for a file named relative to an open folder (ToolPlatform.h).
bool DigestFile(Handle folder, const std::filesystem::path& file, ReadMode mode, FileDigest* digest, std::string* why,
                const std::function<void(uint64_t)>& progress = nullptr);

// Path (as ManifestPath gives it) to SHA-256, sorted as the lines are.
using Manifest = std::map<std::string, std::string>;

// A reader for CheckPackage (Package.h) that digests each file it reads
// into the manifest: the package checked, summed and hashed in one pass.
std::function<bool(const std::filesystem::path& host, const std::filesystem::path& relative, uint16_t* sum)>
DigestingReader(Manifest* into);

// A path below the package as a manifest line names it: "/" between names,
// the names' bytes as stored (UTF-8 on Windows).
std::string ManifestPath(const std::filesystem::path& relative);
// The same path as the platform names it.
std::filesystem::path PathOfManifest(const std::string& path);

// The lines, as sha256sum writes them: a name holding "\" or a line feed
// escaped, its line then starting with "\".
std::string FormatManifest(const Manifest& manifest);
// sha256sum's lines, text or binary ("*") mode; false with the line number
// and why for a line that is none.
bool ParseManifest(const std::string& text, Manifest* manifest, std::string* why);

// <parent>/<name>.sha256 for the package folder: beside it, never inside.
// Empty for a folder without a name of its own (a file system's root).
std::filesystem::path ManifestBeside(const std::filesystem::path& packageFolder);

// Reads and parses a manifest file; *present false when there is none.
bool ReadManifestFile(const std::filesystem::path& file, Manifest* manifest, bool* present, std::string* why);
// Writes text as the file through a new file beside it renamed over it, so
// a reader never meets half a manifest. On failure sets *why.
bool WriteManifestFile(const std::filesystem::path& file, const std::string& text, std::string* why);

// What differs between a sealed manifest and the package now.
struct ManifestDifference {
    std::vector<std::string> changed; // in both, other bytes
    std::vector<std::string> added;   // in the package, not in the manifest
    std::vector<std::string> missing; // in the manifest, not in the package
    size_t Count() const { return changed.size() + added.size() + missing.size(); }
};
ManifestDifference CompareManifests(const Manifest& sealed, const Manifest& now);

// One line per difference ("changed: Map/DE.map"), at most `shown`, then
// one that counts the rest.
std::vector<std::string> DifferenceLines(const ManifestDifference& difference, size_t shown);

} // namespace tool

#endif
