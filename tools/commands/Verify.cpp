// pelk-mapcopy verify and seal: the package checked with the library's own
// code, and its checksum.ini compared or written.
#include <cctype>
#include <filesystem>

#include "Commands.h"
#include "Manifest.h"
#include "PELK_UserMapCopy.h"
#include "Package.h"
#include "Preflight.h"
#include "ToolPlatform.h"
#include "Transfer.h"

namespace fs = std::filesystem;

namespace tool {

namespace {

const std::vector<OptionRule> kSealOptions = OptionRules("seal");
const std::vector<OptionRule> kVerifyOptions = OptionRules("verify");

std::string LinkOnTheWay(const fs::path& typed)
{
    fs::path folder = typed;
    while (!folder.has_filename() && folder.has_relative_path()) folder = folder.parent_path();
    uint64_t ignored = 0;
    if (KindOnDisk(folder, &ignored) == EntryKind::Link) return Shown(folder);
    const fs::path parent = folder.parent_path();
    if (!parent.empty() && UpperAscii(parent.filename().u8string()) == "SDMMC" &&
        KindOnDisk(parent, &ignored) == EntryKind::Link)
        return Shown(parent);
    return std::string();
}

// Enters PACKAGE_DIR as the device root, or says why not.
Stop OpenPackage(const char* command, const std::string& typed, bool force)
{
    const fs::path folder = fs::u8path(typed);
    // A volume's root may be a link to the system (Wine's Z:), never a package's.
    const std::string link = IsFileSystemRoot(folder) ? std::string() : LinkOnTheWay(folder);
    if (!link.empty() && !force)
        return Failure(STATUS_SOURCE_MISSING,
                       link + " is a symbolic link: the device's job never follows links, so on the device it finds "
                              "no package there, empties MassStorage and ends with " +
                           StatusName(STATUS_SOURCE_MISSING) + ". Copy the package itself to the card.");
    std::string why;
    if (!EnterDeviceRoot(folder, &why))
        return Failure(kExitNoInput, "cannot open the package folder " + typed + ": " + why);
    if (force) return std::nullopt;
    // A device root holds the package, it is none.
    const fs::path package = FolderOnDisk(kPackageFolder);
    const fs::path target = FolderOnDisk(kTargetFolder);
    if (package.empty() && target.empty()) {
        if (!IsFileSystemRoot(".")) return std::nullopt;
        // Never a walk of a whole volume, or of the whole machine.
        return Failure(kExitUsage, Shown(folder) + " is the root of a file system, not a package folder: a package "
                                                   "is the PreDLMap folder in a card's SDMMC folder (" +
                                       Shown(folder / "SDMMC" / "PreDLMap") + ").");
    }
    const fs::path hint =
        (folder / (package.empty() ? fs::path("SDMMC") / "PreDLMap" : package)).lexically_normal();
    return Failure(kExitUsage, Shown(folder) + " is a device root (it holds " +
                                   Shown(package.empty() ? target : package) + "), not a package folder.\n" +
                                   "The package folder is " + Shown(hint) + ". Use pelk-mapcopy " + command +
                                   " --force " + Shown(folder) + " to take it as a package anyway.");
}

// The name checksum.ini has in the package, in whatever case it already had.
fs::path ChecksumOnDisk()
{
    WIN32_FIND_DATAW record;
    HANDLE probe = FindFirstFileW(kChecksumFileName, &record);
    if (probe == INVALID_HANDLE_VALUE) return fs::path();
    FindClose(probe);
    return HostPathOf(record.cFileName);
}

// The manifest seal writes: what the walk hashed, and checksum.ini as seal
// has just written it.
int WriteManifest(Manifest manifest, const fs::path& manifestFile)
{
    if (manifestFile.empty()) {
        printf("no manifest: the package folder is the root of a file system, with no folder beside it\n");
        return 0;
    }
    const fs::path checksum = ChecksumOnDisk();
    FileDigest digest;
    std::string why;
    if (!DigestFile(checksum, ReadMode::Cached, &digest, &why))
        return Failure(kExitIoError, "cannot read back " + Shown(checksum) + ": " + why);
    manifest[ManifestPath(checksum)] = digest.sha256;
    if (!WriteManifestFile(manifestFile, FormatManifest(manifest), &why))
        return Failure(kExitIoError, "cannot write the manifest " + Shown(manifestFile) + ": " + why);
    printf("manifest of %s written to %s\n", Plural(manifest.size(), "file", "files").c_str(),
           Shown(manifestFile).c_str());
    return 0;
}

// What the manifest beside the package says of it now (nothing without
// one), and whether any file differs from it.
struct SealedCheck {
    std::vector<std::string> lines;
    bool differs = false;
};

SealedCheck CheckManifest(const fs::path& manifestFile, const Manifest& now)
{
    SealedCheck result;
    Manifest sealed;
    bool present = false;
    std::string why;
    if (manifestFile.empty()) return result;
    const std::string shown = Shown(manifestFile.filename());
    if (!ReadManifestFile(manifestFile, &sealed, &present, &why)) {
        result.lines.push_back("manifest " + shown + " cannot be read: " + why);
        return result;
    }
    if (!present) return result;
    const ManifestDifference difference = CompareManifests(sealed, now);
    if (difference.Count() == 0) {
        result.lines.push_back("manifest " + shown + ": every file as sealed (" +
                               Plural(now.size(), "file", "files") + ")");
        return result;
    }
    result.differs = true;
    result.lines.push_back("manifest " + shown + ": " +
                           Plural(difference.Count(), "file differs", "files differ") + " since sealing");
    for (const std::string& line : DifferenceLines(difference, 10)) result.lines.push_back(line);
    for (const std::string& path : difference.changed)
        if (path.find('/') == std::string::npos && UpperAscii(path) == "CHECKSUM.INI")
            result.lines.push_back("manifest " + shown +
                                   " disagrees with checksum.ini: checksum.ini is not the one sealed with it (edited, "
                                   "or the package sealed again without its manifest)");
    return result;
}

// The way on from a package that differs from its manifest. Sealing it
// would seal the difference, so seal is never the hint: a PreDLMap with
// its manifest beside it is what write leaves on a card, which is written
// again; any other package is restored, or checked before it is sealed.
std::string NotAsSealedHint(const std::string& typed, const fs::path& manifestFile)
{
    const std::string manifest = Shown(manifestFile.filename());
    if (UpperAscii(manifestFile.filename().u8string()) != "PREDLMAP.SHA256")
        return "the package changed since it was sealed (" + manifest +
               "): restore it, or, if the change is intended, check it and seal it again";
    fs::path folder = fs::u8path(typed).lexically_normal();
    if (!folder.has_filename()) folder = folder.parent_path();
    // "." or ".." names the package but not the folder holding it.
    const bool dots = folder.filename() == "." || folder.filename() == "..";
    const fs::path card = dots ? manifestFile.parent_path() : folder.parent_path();
    return "the card's package differs from its manifest " + manifest +
           ": write the card again from the sealed package (pelk-mapcopy write PACKAGE_DIR " +
           Shown(card.empty() ? fs::path(".") : card) + "); if this folder is the sealed package itself, restore it";
}

int SealLocked(const ParsedArguments& parsed, const fs::path& folder, bool force);

} // namespace

int Seal(const std::vector<std::string>& arguments)
{
    ParsedArguments parsed;
    if (const Stop early = Parse("seal", arguments, kSealOptions, 1, &parsed)) return *early;
    const bool force = parsed.Has("--force");
    const fs::path folder = fs::u8path(parsed.operands[0]);
    // One writer a card: the package is locked at the folder that holds it
    // (a card's PreDLMap at the card folder), where write and run take the
    // same lock, whatever names it.
    std::error_code error;
    fs::path package = fs::canonical(folder, error);
    if (error) package = NormalFolder(folder);
    const fs::path locked = package.parent_path();
    FolderLock* lock = nullptr;
    if (const Stop held = LockForWriting(locked, locked, "seal", "cannot open the folder holding the package " +
                                                                     Shown(folder), &lock))
        return *held;
    const int code = SealLocked(parsed, folder, force);
    UnlockFolder(lock);
    return code;
}

namespace {

int SealLocked(const ParsedArguments& parsed, const fs::path& folder, bool force)
{
    const fs::path manifestFile = ManifestBeside(folder); // before the package is entered
    if (const Stop closed = OpenPackage("seal", parsed.operands[0], force)) return *closed;

    Manifest manifest;
    PackageCheck check = CheckPackage(TEXT(""), DigestingReader(&manifest));
    if (!check.findings.empty()) {
        PrintFindings(stderr, check);
        if (!force)
            return Failure(kExitNotForACard, "not sealed: the device would not install " + Shown(folder) +
                                                 " as it stands (" + Plural(check.findings.size(), "finding", "findings") +
                                                 " above). Use --force to seal it anyway.");
    }
    const bool hadChecksum = !ChecksumOnDisk().empty();
    std::string why;
    if (!WritePackageChecksum(check.sum, &why))
        return Failure(kExitIoError, "cannot write " + Shown(folder / "checksum.ini") + ": " + why);
    // Counted as verify counts it from now on: the new file is copied, not summed.
    if (!hadChecksum) ++check.otherFiles;
    printf("package sum %s over %s, written to %s\n%s", Hex(check.sum).c_str(),
           Plural(check.summedFiles, "file", "files").c_str(), Shown(folder / ChecksumOnDisk()).c_str(),
           NotSummed(check.otherFiles, check.otherBelowTheRoot).c_str());
    return WriteManifest(manifest, manifestFile);
}

} // namespace

int Verify(const std::vector<std::string>& arguments)
{
    ParsedArguments parsed;
    if (const Stop early = Parse("verify", arguments, kVerifyOptions, 1, &parsed)) return *early;
    const fs::path manifestFile = ManifestBeside(fs::u8path(parsed.operands[0]));
    if (const Stop closed = OpenPackage("verify", parsed.operands[0], parsed.Has("--force"))) return *closed;

    Manifest now;
    const Preflight preflight = PredictJob(TEXT(""), DigestingReader(&now));
    const SealedCheck sealed = CheckManifest(manifestFile, now);
    const std::string sealWith = Shown(fs::u8path(parsed.operands[0]));
    PrintPreflight(stdout, preflight, sealed.differs ? std::string() : sealWith);
    for (const std::string& line : sealed.lines) printf("%s\n", line.c_str());
    printf("%s\n", VerdictLine(preflight.verdict).c_str());
    const std::string hint =
        sealed.differs ? NotAsSealedHint(parsed.operands[0], manifestFile) : ResealHint(preflight, sealWith);
    if (!hint.empty()) printf("%s\n", hint.c_str());
    // The device's status wins, as what the device does; a package it would
    // take (two swapped bytes keep the sum) is still not the one sealed.
    if (preflight.verdict != 0) return preflight.verdict;
    return sealed.differs ? kExitNotForACard : 0;
}


} // namespace tool
