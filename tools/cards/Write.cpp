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


namespace {

const std::vector<OptionRule> kWriteOptions = OptionRules("write");

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
