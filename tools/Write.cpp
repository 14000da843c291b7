// pelk-mapcopy write: a sealed package onto the cards named, each by a
// worker of its own (CardWriter.h). How a card stays whole at every moment
// is in docs/writing-cards.md.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "CardWriter.h"
#include "Commands.h"
#include "Log.h"
#include "ToolPlatform.h"

namespace fs = std::filesystem;

namespace tool {

const char kWriteHelp[] =
    "Usage: pelk-mapcopy write [--log FILE] [--in-place] [--any-volume] [--]\n"
    "                          PACKAGE_DIR CARD_DIR...\n"
    "\n"
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
    "and each card is looked at and said to hold its old package or the new one.\n"
    "\n"
    "Exits 0 when every card is good; otherwise with the largest of the cards'\n"
    "codes: 64 refused untouched (a folder that is no card: a package, a device\n"
    "root, a folder in the package or holding it, a card named twice; not FAT;\n"
    "no room; --in-place needed), 66 the card cannot be opened, 74 a write,\n"
    "flush or read-back failed or what was read back differs (the card may not\n"
    "hold what it claims), or the card went away or is no longer the folder that\n"
    "was locked, 75 another\n"
    "pelk-mapcopy is using the card; before any card: 64 no manifest, 65 a\n"
    "package with findings or changed since sealing, 66 PACKAGE_DIR cannot be\n"
    "opened. 130 (143) for SIGINT (SIGTERM).\n"
    "A card whose read-back differs because the package itself changed while\n"
    "it was written (its file, read again, no longer matches the manifest) is\n"
    "not good with 65.\n"
    "\n"
    "  --log FILE  append one JSON line per card, refused and interrupted ones\n"
    "              too: start and end (ISO 8601, UTC), tool and package version,\n"
    "              the card's path, volume label and serial where the platform\n"
    "              gives them, file system, files, bytes, package sum, the\n"
    "              manifest's SHA-256, the phase reached, result, code, reason,\n"
    "              seconds, MB/s written and read back\n"
    "  --in-place  remove the old package first where there is no room beside it\n"
    "  --any-volume\n"
    "              write cards whatever their file system: a staging folder, a\n"
    "              FUSE volume the system does not report as FAT, a test\n";


namespace {

const std::vector<OptionRule> kWriteOptions = {{"--log", true}, {"--in-place", false}, {"--any-volume", false}};

// One write: its cards, the package, the log, and what the cards share.
struct WriteRun {
    std::vector<std::unique_ptr<Card>> cards;
    const PackagePlan* package = nullptr;
    CardLog log;
    CardBatch batch;
};

std::vector<Card*> Cards(const WriteRun& run)
{
    std::vector<Card*> cards;
    for (auto& card : run.cards) cards.push_back(card.get());
    return cards;
}

int32_t WriteAllCards(WriteRun& run)
{
    std::vector<std::thread> workers;
    {
        // Elsewhere than on a terminal a card's line now and then, as it goes.
        size_t ticks = 0;
        ProgressLines progress(
            &run.batch.output,
            [&run] {
                std::vector<std::string> lines;
                for (auto& card : run.cards) {
                    std::lock_guard<std::mutex> guard(card->lock);
                    lines.push_back(ProgressLine(*card));
                }
                return lines;
            },
            [&run, &ticks] {
                std::vector<std::string> lines;
                for (auto& card : run.cards) {
                    std::lock_guard<std::mutex> guard(card->lock);
                    if (!card->finished && card->total && ++ticks % (20 * run.cards.size()) == 0)
                        lines.push_back(ProgressLine(*card));
                }
                return lines;
            });
        for (auto& card : run.cards) {
            if (card->finished) continue; // refused before its worker (its lock)
            Card* each = card.get();
            workers.emplace_back([each, &run] { WriteCard(each, *run.package); });
        }
        for (std::thread& worker : workers) worker.join();
    }
    return 0;
}

// Cards that are no card, or a card named a second time, are refused
// untouched; the others go on.
void RefuseNoCards(const std::vector<std::unique_ptr<Card>>& cards, const PackagePlan& package)
{
    std::vector<std::pair<FileId, const Card*>> seen;
    for (auto& card : cards) {
        std::string why = NoCard(*card, package);
        FileId id;
        if (why.empty() && FolderIdentity(card->root, &id)) {
            for (const auto& [other, otherCard] : seen)
                if (other == id) why = "is the card " + otherCard->shown + " again";
            seen.emplace_back(id, card.get());
        }
        if (why.empty()) continue;
        card->code = kExitUsage;
        card->finished = true;
        card->verdict = "NOT GOOD: " + card->shown + ": " + why + "; card untouched";
    }
}

// The verdicts on stdout, the log closed; the largest card code.
int ReportCards(WriteRun& run)
{
    int code = 0;
    for (auto& card : run.cards) {
        printf("%s\n", card->verdict.c_str());
        code = std::max(code, card->code);
        run.log.Append(Record(*card, *run.package));
        card->folder.Close();
        UnlockFolder(card->folderLock);
    }
    std::string why;
    if (!run.log.Close(&why)) {
        fprintf(stderr, "pelk-mapcopy: %s\n", why.c_str());
        code = std::max(code, kExitIoError);
    }
    const size_t good = static_cast<size_t>(
        std::count_if(run.cards.begin(), run.cards.end(), [](const auto& card) { return card->code == 0; }));
    printf("%zu of %zu cards good\n", good, run.cards.size());
    return code;
}

} // namespace

int Write(const std::vector<std::string>& arguments)
{
    ParsedArguments parsed;
    std::string error;
    if (!ParseArguments(arguments, kWriteOptions, &parsed, &error)) return UsageError("write: " + error);
    if (parsed.operands.size() < 2) return UsageError("write: expected PACKAGE_DIR and at least one CARD_DIR");
    WriteRun run;
    std::error_code ignored;
    const fs::path log = parsed.Has("--log") ? fs::absolute(fs::u8path(parsed.Value("--log")), ignored) : fs::path();
    // Every card by its path with links resolved, before the package is
    // entered: a link to a card folder is that card.
    for (size_t i = 1; i < parsed.operands.size(); ++i) {
        auto card = std::make_unique<Card>();
        card->batch = &run.batch;
        card->root = AbsoluteFolder(parsed.operands[i]);
        card->typed = parsed.operands[i];
        card->shown = Shown(fs::u8path(parsed.operands[i]));
        card->inPlace = parsed.Has("--in-place");
        run.cards.push_back(std::move(card));
    }
    std::string why;
    if (!log.empty() && !run.log.Open(log, &why)) return Failure(kExitUsage, why + "; no card written");
    PackagePlan package;
    std::string refusal;
    if (const Stop refused = PreparePackage(parsed.operands[0], &package, &refusal)) {
        for (auto& card : run.cards)
            run.log.Append(
                Record(*card, package, *refused, "the package was refused: " + refusal + "; card untouched"));
        run.log.Close(&why);
        return *refused;
    }
    run.package = &package;
    RefuseNoCards(run.cards, package);

    // The locks first, all of them, as run takes its own: a card in use is
    // refused, the others go on.
    for (auto& card : run.cards)
        if (!card->finished) AdmitCard(card.get(), "write", parsed.Has("--any-volume"));
    // On the interrupt's thread: each card ends the step it is in and is
    // reported as it is.
    RunInterruptible([&run] { return WriteAllCards(run); },
                     [&run](int exitCode) {
                         ReportStoppedCards(&run.batch, Cards(run), *run.package, &run.log, exitCode);
                     });
    return ReportCards(run);
}

} // namespace tool
