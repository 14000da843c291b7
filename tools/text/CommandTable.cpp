#include "CommandTable.h"

#include <algorithm>
#include <cstring>

namespace tool {

namespace {

// Codes several commands give alike, worded once.
const char kSigint[] = "interrupted by SIGINT (Ctrl-C, Ctrl-Break)";
const char kSigterm[] = "interrupted by SIGTERM";
const char kCardInUse[] = "another pelk-mapcopy is using the card";

CommandEntry RunEntry()
{
    return {"run", "[--device-root DIR] [--library FILE] [--force]", "run the device's map copy job on a device folder",
        {{"--device-root", "DIR", false, "the device's root folder"},
         {"--library", "FILE", false,
          "the module to load (default: " PELK_MODULE_FILE "\nbeside this tool" PELK_MODULE_ELSEWHERE ")"},
         {"--force", nullptr, false, "run the job even where it is refused"}},
        {{0, "the job's status: the package was installed and its sum matches"},
         {1, "the job's status: a file in MassStorage could not be deleted"},
         {2, "the job's status: a folder below MassStorage could not be removed"},
         {3, "the job's status: a folder could not be created"},
         {4, "the job's status: a package folder is missing"},
         {5, "the job's status: a package file could not be copied"},
         {6, "the job's status: the checksum does not match"},
         {64, "a usage error, or refused with MassStorage untouched: a package with a finding or that "
              "the job would not install, no SDMMC/PreDLMap, a MassStorage that is a file or a symbolic link, "
              "too little room"},
         {66, "the device root cannot be entered"},
         {69, "the module cannot be loaded"},
         {70, "the module returned a code it does not document, or 0 while MassStorage does not hold every "
              "package file at its size: not installed"},
         {75, "another pelk-mapcopy is using the device root"},
         {130, kSigint},
         {143, kSigterm}},
        "Loads the PELK_UserMapCopy module and runs its job with DIR (default: the\n"
        "current directory) as the device: MassStorage is emptied, SDMMC/PreDLMap is\n"
        "copied into it and its sum is checked against SDMMC/PreDLMap/checksum.ini.\n"
        "Prints the status, what was copied and summed, and the time taken; after a\n"
        "failure, its cause where it can be known, the entry where the job stopped\n"
        "and the package's findings. Exits with the status (0..6). A progress line on\n"
        "stderr tells each phase within a second: while run checks the package, the\n"
        "files and bytes read; while the job clears MassStorage, the old files left;\n"
        "while it copies, the package files and bytes there (by names and sizes), the\n"
        "rate and the time left. It is redrawn in place on a terminal; elsewhere it is\n"
        "a line as each phase begins and at most one every 5 seconds.\n"
        "\n"
        "One run at a time per device root: run locks DIR before it reads anything\n"
        "(writing nothing there) and holds the lock until it ends; a second run on\n"
        "the same DIR is refused at once, exit 75. After the job returns 0, run\n"
        "checks that MassStorage holds every package file at its size; where it does\n"
        "not, the package is not reported as installed (exit 70).\n"
        "\n"
        "The job empties MassStorage before it copies, so run first checks the\n"
        "package as verify does and refuses (64, MassStorage untouched) a package\n"
        "with any finding or for which the job would not return 0, a device without\n"
        "SDMMC/PreDLMap, a MassStorage that is a file or a symbolic link (which the\n"
        "job never follows), and a package larger than the free space of the volume\n"
        "holding MassStorage, counted in whole clusters as FAT allocates them (what\n"
        "MassStorage holds now counts as free; a volume that reports no size is not\n"
        "checked).\n"
        "\n"
        "Ctrl-C (SIGINT) or SIGTERM stops run in any phase; the last line says what\n"
        "MassStorage holds then: as it was, during the checks; during the job,\n"
        "counted as the progress line counts, when the device would have no usable\n"
        "map: run again.\n"};
}

// seal and verify open PACKAGE_DIR alike: the same arguments, and the same
// refusals of a link (4) and of a device root or a file system's root (64).
CommandEntry PackageEntry(const char* name, const char* summary, const char* forceHelp,
                          std::vector<CommandExit> exits, const char* body)
{
    exits.push_back({4, "the job would return 4: PACKAGE_DIR, or the SDMMC folder holding it, is a symbolic link"});
    exits.push_back({64, "a usage error, or refused: a device root (a folder holding SDMMC/PreDLMap or MassStorage) "
                         "or the root of a file system"});
    std::sort(exits.begin(), exits.end(),
              [](const CommandExit& left, const CommandExit& right) { return left.code < right.code; });
    return {name, "[--force] [--] PACKAGE_DIR", summary, {{"--force", nullptr, false, forceHelp}}, exits, body};
}

CommandEntry SealEntry()
{
    return PackageEntry("seal",
        "write the package sum into PACKAGE_DIR/checksum.ini and its manifest\nbeside PACKAGE_DIR", "seal even so",
        {{0, "the package sum and the manifest were written"},
         {65, "refused: a package with findings (see verify)"},
         {66, "PACKAGE_DIR or the folder holding it cannot be opened"},
         {74, "checksum.ini or the manifest cannot be written or read back"},
         {75, "another pelk-mapcopy is using the package's card"}},
        "Computes the package sum as the device does (every byte of every file but\n"
        "checksum.ini and PreDLVerno.ini, in any folder, modulo 65536) and writes it\n"
        "to PACKAGE_DIR/checksum.ini as upper-case hexadecimal and CR LF. Then\n"
        "writes the package's manifest beside PACKAGE_DIR, never inside it (for\n"
        "a folder PreDLMap: PreDLMap.sha256): the SHA-256 of every file, checksum.ini\n"
        "and PreDLVerno.ini included, as sha256sum writes it; sha256sum -c run\n"
        "inside PACKAGE_DIR checks it. verify and write check against it.\n"
        "\n"
        "Holds the card's lock while it runs, as run does (a package in\n"
        "SDMMC/PreDLMap is locked at its device root): exit 75 while another\n"
        "pelk-mapcopy uses it.\n");
}

CommandEntry VerifyEntry()
{
    return PackageEntry("verify", "predict the device's job on PACKAGE_DIR and name what would fail",
        "take a device root or a file system's root as the package folder",
        {{0, "the device's job would install the package"},
         {3, "the job would return 3: a folder's path is too long for the device"},
         {5, "the job would return 5: a file's path is too long for the device"},
         {6, "the job would return 6: checksum.ini does not match the package sum"},
         {65, "no card can hold the package as it stands, or the job would succeed but the package differs "
              "from its manifest (a status the job would return that is not 0 wins over it)"},
         {66, "PACKAGE_DIR cannot be opened"}},
        "Predicts the device's job on the package and prints one line for each thing\n"
        "that would fail: a path too long for the device (under SDMMC/PreDLMap or\n"
        "MassStorage), two names that differ only in letter case, a name a card\n"
        "cannot hold (a Windows device name such as CON, NUL, COM1 or LPT1 with any\n"
        "extension, a name that is not UTF-8, a control character, one of \"*/:<>?\\|,\n"
        "a trailing dot or space; shown escaped, one line a name), an entry that is\n"
        "neither a file nor a folder (looked at, never opened; a symbolic link: the\n"
        "job never follows links), a folder on another file system (not walked), a\n"
        "read-only file (the next install cannot delete its copy), then checksum.ini\n"
        "read as the device reads it against the package sum, with where the\n"
        "device's reading stops when it stops at anything but white space.\n"
        "\n"
        "With a manifest beside PACKAGE_DIR (seal writes it), verify also names\n"
        "each file changed, added or missing since sealing (the first ten, then\n"
        "a count), and says when checksum.ini is not the one sealed with the\n"
        "manifest. A package that differs from its manifest exits 65 where the\n"
        "device would take it: it is not the package that was sealed.\n"
        "\n"
        "FAT's limits, from Microsoft's published FAT on-disk format: a file holds at\n"
        "most 4 GiB - 1 byte; a folder at most 65,536 directory entries, a name\n"
        "taking one when it is an 8.3 name in upper case (or with an all-lower-case\n"
        "base or extension), else one for each 13 UTF-16 units plus one; a FAT16\n"
        "volume's root, where MassStorage is on the device, 512; two names where one\n"
        "is the 8.3 short name FAT gives the other (LONGFI~1.TXT for\n"
        "LongFileName.txt) are one file to the device.\n");
}

// What write does, below its usage.
const char kWriteBody[] =
    "Writes the sealed package PACKAGE_DIR onto each card, all cards at once.\n"
    "CARD_DIR is a card's root, the folder the device sees as SDMMC; the package\n"
    "becomes CARD_DIR/PreDLMap and its manifest CARD_DIR/PreDLMap.sha256.\n"
    "\n"
    "First the package is checked as verify checks it and against its manifest\n"
    "(PACKAGE_DIR's name plus .sha256, beside it, as seal writes it); a package\n"
    "with findings, without a manifest or changed since sealing is refused before\n"
    "any card is touched. Then, for each card: its lock (one pelk-mapcopy at a\n"
    "time per card), its volume (room in its clusters for the new package beside\n"
    "the old one), the package into CARD_DIR/PreDLMap.pelk-new, flushed, read back\n"
    "from the card rather than the system's cache and checked against the\n"
    "manifest and the device's sum; only then does it replace CARD_DIR/PreDLMap,\n"
    "each change flushed to the card before the next. A write stopped at any\n"
    "moment (killed, interrupted, the card pulled) leaves the old package or the\n"
    "new one whole (between the two renames on Windows, the old one whole as\n"
    "CARD_DIR/PreDLMap.pelk-old); the next write clears or restores what it left.\n"
    "A card unmounted or replaced mid-write is not good, and nothing is written\n"
    "elsewhere. Nothing else on the card changes.\n"
    "\n"
    "The device reads FAT cards only (FAT12, FAT16, FAT32, as the system reports\n"
    "the card's volume): a card on any other file system is refused untouched,\n"
    "unless --any-volume.\n"
    "\n"
    "A card with room for the new package only once the old one is gone is\n"
    "refused, and so is a volume whose driver loses a folder's files when it\n"
    "renames it (fusefat), unless --in-place: the old package is removed first,\n"
    "and until the write completes the card must not go into a device.\n"
    "\n"
    "One progress line per card on stderr (checking, writing, reading back;\n"
    "bytes, rate, time left), plain lines when stderr is no terminal; then one\n"
    "verdict line per card on stdout. After Ctrl-C no card starts another step,\n"
    "and each card is looked at and said to hold its old package or the new one.\n";

CommandEntry WriteEntry()
{
    return {"write", "[--log FILE] [--in-place] [--any-volume] [--]\nPACKAGE_DIR CARD_DIR...",
        "write a sealed package onto cards, read it back and prove it",
        {{"--log", "FILE", false,
          "append one JSON line per card, refused and interrupted ones\n"
          "too: start and end (ISO 8601, UTC), tool and package version,\n"
          "the card's path, volume label and serial where the platform\n"
          "gives them, file system, files, bytes, package sum, the\n"
          "manifest's SHA-256, the phase reached, result, code, reason,\n"
          "seconds, MB/s written and read back"},
         {"--in-place", nullptr, false, "remove the old package first where there is no room beside it"},
         {"--any-volume", nullptr, false,
          "\nwrite cards whatever their file system: a staging folder, a\n"
          "FUSE volume the system does not report as FAT, a test"}},
        {{0, "every card is good; otherwise write exits with the largest of the cards' codes"},
         {64, "a card refused untouched: a folder that is no card (a package, a device root, a folder in the "
              "package or holding it, a card named twice, a PreDLMap that is a link or a file), not FAT, no "
              "room, --in-place needed; before any card: a usage error, no manifest, a log that cannot be "
              "opened"},
         {65, "a card whose read-back differs because the package itself changed while it was written; before "
              "any card: a package with findings or changed since sealing"},
         {66, "the card cannot be opened; before any card: PACKAGE_DIR cannot be opened"},
         {74, "a write, flush or read-back failed or what was read back differs (the card may not hold what it "
              "claims), or the card went away or is no longer the folder that was locked; a log that cannot "
              "be written"},
         {75, kCardInUse},
         {130, kSigint},
         {143, kSigterm}},
        kWriteBody};
}

CommandEntry StationEntry()
{
    return {"station",
        "[--log FILE] [--in-place] [--any-volume]\n[--watch DIR]... [--page HOST:PORT\n"
        "[--page-any-address]] [--] PACKAGE_DIR",
        "write a sealed package onto every card that comes, until Ctrl-C",
        {{"--log", "FILE", false,
          "append one JSON line per card as it ends (command station),\n"
          "refused and interrupted ones too, as write --log"},
         {"--in-place", nullptr, false,
          "remove the old package first where there is no room beside\nit, or on fusefat, as write --in-place"},
         {"--any-volume", nullptr, false, "write cards whatever their file system"},
         {"--watch", "DIR", true, "take volumes mounted below DIR (Linux; repeatable)"},
         {"--page", "HOST:PORT", false,
          "\nserve a page showing every slot at a glance on HOST:PORT\n"
          "(port 0: a free one; its address is said at the start),\n"
          "loopback hosts only (127.0.0.1, [::1], localhost); Linux"},
         {"--page-any-address", nullptr, false,
          "\nserve it on any host --page names, for other machines to\nreach: it has no password"}},
        {{0, "every card of the batch was good; otherwise the largest of the cards' codes, as write"},
         {64, "a card refused untouched (no card, not FAT); before any card: a usage error, no manifest, a log "
              "that cannot be opened, a --page address refused or that cannot be served"},
         {65, "the package changed while a card was written; before any card: a package with findings or "
              "changed since sealing"},
         {66, "the card cannot be opened; before any card: PACKAGE_DIR or a DIR cannot be opened"},
         {74, "a write, flush or read-back failed, or the card went away; a log that cannot be written"},
         {75, kCardInUse},
         {130, "a second SIGINT (Ctrl-C, Ctrl-Break) stopped the cards being written"},
         {143, "a second SIGTERM stopped the cards being written"}},
        "Writes the sealed package PACKAGE_DIR onto every card that comes, until\n"
        "Ctrl-C. The package is checked once, as write checks it. Then each new card\n"
        "is written as write writes it, beside the cards already being written: on\n"
        "Linux a volume newly mounted below DIR (default: /media and /run/media,\n"
        "where the desktop mounts removable media), seen through the mount table;\n"
        "on Windows a removable drive that comes to hold a volume, its root the card\n"
        "folder. Volumes there before the station starts are not written.\n"
        "\n"
        "A good card is released for removal: on Linux unmounted and powered off by\n"
        "udisksctl where udisks2 runs, else unmounted; on Windows dismounted and\n"
        "ejected. Its line then says remove. A card that cannot be released is good\n"
        "but must be unmounted by hand. A card pulled while it is written is not\n"
        "good, and its line says what it holds (its old package, whole).\n"
        "\n"
        "One status line per slot on stderr, redrawn in place on a terminal; plain\n"
        "lines, one per event, otherwise. Ctrl-C (or SIGTERM) takes no new card; each\n"
        "card being written ends its write; then the batch: the cards good and not\n"
        "good, with each one's reason, on stdout. A second Ctrl-C stops each card\n"
        "between two steps, as write does, and says what it holds (130, 143).\n"};
}

CommandEntry CheckEntry()
{
    return {"check", "[--log FILE] [--] CARD_DIR...",
        "read written cards back and prove each against its manifest and sum",
        {{"--log", "FILE", false,
          "append one JSON line per card (command \"check\"): card,\n"
          "volume label and serial where the platform gives them, file\n"
          "system, the package version (PreDLMap/PreDLVerno.ini's first\n"
          "line), the card manifest's own SHA-256, files, bytes, the\n"
          "card's sum, the result and its reason, the manifest paths\n"
          "that differ (\"differing\"), times"}},
        {{0, "every card is good; otherwise check exits with the largest of the cards' codes"},
         {64, "a folder that is no card as write leaves one (no PreDLMap in it, a device root, a package "
              "folder, a PreDLMap that is no folder, no manifest beside its PreDLMap) or a card named a second "
              "time (it is checked once); before any card: a usage error, a log that cannot be opened"},
         {65, "a card that differs from its manifest, whose manifest is none, that the device would reject "
              "(its sum differs from checksum.ini, or it has none), or that holds what a stopped write left "
              "(PreDLMap.pelk-new, PreDLMap.pelk-old, PreDLMap.pelk-incomplete, PreDLMap.sha256.pelk-new): "
              "not a finished write"},
         {66, "the card cannot be opened or listed"},
         {74, "a file on the card cannot be read; a log that cannot be written"},
         {75, kCardInUse},
         {130, "interrupted by SIGINT (Ctrl-C, Ctrl-Break): nothing was changed; each card not checked to the "
               "end is named, and logged as interrupted"},
         {143, "interrupted by SIGTERM, as by SIGINT"}},
        "Checks cards that write has written, all cards at once, and changes\n"
        "nothing on them. CARD_DIR is a card's root, the folder the device sees as\n"
        "SDMMC. Every file of CARD_DIR/PreDLMap is read from the card rather than\n"
        "the system's cache and compared with the manifest write left beside it,\n"
        "CARD_DIR/PreDLMap.sha256; the files the device sums are summed as the\n"
        "device sums them and compared with the low 16 bits of the number in\n"
        "CARD_DIR/PreDLMap/checksum.ini, as the device reads it.\n"
        "\n"
        "A card is good when it holds exactly the files of its manifest (none\n"
        "changed, missing or added) and the device accepts its sum. A card being\n"
        "written by another pelk-mapcopy is not read; check holds each card's lock\n"
        "while it reads it, so no write starts on it meanwhile.\n"
        "\n"
        "Plain progress lines on stderr as each card is checked and read; then one\n"
        "verdict line per card on stdout (\"good: CARD ...\" or \"NOT GOOD: CARD:\n"
        "why\", naming each file that differs as changed, missing or added), then\n"
        "\"N of M cards good\".\n"};
}

CommandEntry HelpEntry()
{
    return {"help", "[COMMAND] | --help [COMMAND] | --version",
        "prepare a map card and install it as the device does",
        {},
        {{0, "the help or the version was printed"},
         {64, "a usage error"}},
        "Options take their value as --opt=value or --opt value; -- ends the options.\n"
        "Each command's help (pelk-mapcopy help COMMAND) lists the codes it exits with.\n"};
}

std::vector<CommandEntry> MakeTable()
{
    return {RunEntry(), SealEntry(), VerifyEntry(), WriteEntry(), StationEntry(), CheckEntry(), HelpEntry()};
}

// The lines of text, each after prefix, the lines after the first after as
// many spaces.
std::string Indented(const std::string& prefix, const std::string& text)
{
    std::string out = prefix;
    for (const char c : text) {
        out += c;
        if (c == '\n') out += std::string(prefix.size(), ' ');
    }
    return out + "\n";
}

// Words filled into lines of at most 79 characters, each after prefix (the
// lines after the first after as many spaces).
std::string Filled(const std::string& prefix, const std::string& text)
{
    std::string out = prefix;
    size_t line = prefix.size();
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = std::min(text.find(' ', at), text.size());
        const std::string word = text.substr(at, end - at);
        if (line > prefix.size() && line + 1 + word.size() > 79) {
            out += "\n" + std::string(prefix.size(), ' ');
            line = prefix.size();
        } else if (line > prefix.size()) {
            out += ' ';
            ++line;
        }
        out += word;
        line += word.size();
        at = end + 1;
    }
    return out + "\n";
}

std::string Synopsis(const std::string& prefix, const CommandEntry& command)
{
    return Indented(prefix + "pelk-mapcopy " + command.name + " ", command.synopsis);
}

std::string Label(const CommandOption& option)
{
    return std::string(option.name) + (option.value ? std::string(" ") + option.value : std::string());
}

std::string OptionList(const CommandEntry& command)
{
    size_t column = 0; // the helps beside their options line up after the longest of these
    for (const CommandOption& option : command.options)
        if (option.help[0] != '\n') column = std::max(column, Label(option).size());
    std::string out;
    for (const CommandOption& option : command.options) {
        const std::string label = "  " + Label(option);
        if (option.help[0] == '\n')
            out += label + "\n" + Indented(std::string(column + 4, ' '), option.help + 1);
        else
            out += Indented(label + std::string(column + 4 - label.size(), ' '), option.help);
    }
    return out;
}

std::string ExitList(const CommandEntry& command)
{
    std::string out = "Exit codes:\n";
    for (const CommandExit& exit : command.exits) {
        std::string code = "  " + std::to_string(exit.code);
        out += Filled(code + std::string(7 - code.size(), ' '), exit.meaning);
    }
    return out;
}

std::string ToolHelp(const CommandEntry& help)
{
    std::string out = std::string("pelk-mapcopy - ") + help.summary + "\n\n" + UsageText() + "\nCommands:\n";
    for (const CommandEntry& command : CommandTable()) {
        if (&command == &help) continue;
        const std::string name = "  " + std::string(command.name);
        out += Indented(name + std::string(std::max<size_t>(10, name.size() + 1) - name.size(), ' '),
                        command.summary);
    }
    return out + "\n" + help.body + "\n" + ExitList(help);
}

} // namespace

const std::vector<CommandEntry>& CommandTable()
{
    static const std::vector<CommandEntry> table = MakeTable();
    return table;
}

const CommandEntry* FindCommand(const std::string& name)
{
    for (const CommandEntry& command : CommandTable())
        if (name == command.name) return &command;
    return nullptr;
}

std::vector<OptionRule> OptionRules(const char* command)
{
    std::vector<OptionRule> rules;
    for (const CommandOption& option : FindCommand(command)->options)
        rules.push_back({option.name, option.value != nullptr, option.repeatable});
    return rules;
}

std::string UsageText()
{
    std::string out = "Usage:\n";
    for (const CommandEntry& command : CommandTable()) out += Synopsis("  ", command);
    return out;
}

std::string HelpText(const CommandEntry& command)
{
    if (std::strcmp(command.name, "help") == 0) return ToolHelp(command);
    std::string out = Synopsis("Usage: ", command) + "\n" + command.body + "\n" + ExitList(command);
    if (!command.options.empty()) out += "\n" + OptionList(command);
    return out;
}

} // namespace tool
