// What write and check share of a card: the names write leaves on it, and
// the card looked at through the file calls (ToolPlatform.h), relative to its
// folder held open. Defined in CardWriter.cpp.
#ifndef PELK_TOOLS_CARD_TREE_H
#define PELK_TOOLS_CARD_TREE_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ToolPlatform.h"
#include "Package.h"

namespace tool {

struct FileDigest;

inline constexpr char kPackageName[] = "PreDLMap";
inline constexpr char kStagingName[] = "PreDLMap.pelk-new";
inline constexpr char kStashName[] = "PreDLMap.pelk-old";
inline constexpr char kIncompleteName[] = "PreDLMap.pelk-incomplete";
inline constexpr char kCardManifestName[] = "PreDLMap.sha256";
inline constexpr char kManifestAside[] = "PreDLMap.sha256.pelk-new";

// A name in the device's UTF-16 units.
DeviceString Units(const std::filesystem::path& name);

// The identity of the folder a path names; false when none is there.
bool FolderIdentity(const std::filesystem::path& folder, FileId* id);

// The kind of an entry of an open folder; missing is no error (*kind empty).
bool KindOf(Handle folder, const std::filesystem::path& name, std::optional<Kind>* kind, std::string* why);

// The package's checksum.ini, at its top, in any letter case.
bool IsPackageChecksum(const TreeEntry& entry);

// One file of a package on the card (file, relative to its folder root),
// read from the volume: its digest, and its bytes added to *sum where the
// device sums entry's. progress, when given, hears each chunk's bytes.
bool ReadCardFile(Handle root, const std::filesystem::path& file, const TreeEntry& entry, FileDigest* digest,
                  uint16_t* sum, std::string* why, const std::function<void(uint64_t)>& progress = nullptr);

// A card's lock for command, as write, station and check take it: 0 when
// taken; else kExitInUse with *why naming who holds it, or kExitNoInput
// with *why saying why it could not be taken.
int LockCard(const std::filesystem::path& root, const std::string& shown, const char* command, FolderLock** lock,
             std::string* why);

// The tree of the folder name (in folder) as the package's tree lists it:
// host paths relative to it, below `below`.
bool ListTree(Handle folder, const std::filesystem::path& name, const std::filesystem::path& below,
              std::vector<TreeEntry>* tree, std::string* why);

} // namespace tool

#endif
