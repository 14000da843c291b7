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

std::vector<std::unique_ptr<Card>> g_cards;
const PackagePlan* g_package = nullptr;
CardLog g_log;

std::vector<Card*> Cards()
{
    std::vector<Card*> cards;
    for (auto& card : g_cards) cards.push_back(card.get());
    return cards;
}

int32_t WriteAllCards()
{
    std::vector<std::thread> workers;
    {
        // Elsewhere than on a terminal a card's line now and then, as it goes.
        size_t ticks = 0;
        ProgressLines progress(
            [] {
                std::vector<std::string> lines;
                for (auto& card : g_cards) {
                    std::lock_guard<std::mutex> guard(card->lock);
                    lines.push_back(ProgressLine(*card));
                }
                return lines;
            },
            [&ticks] {
                std::vector<std::string> lines;
                for (auto& card : g_cards) {
                    std::lock_guard<std::mutex> guard(card->lock);
                    if (!card->finished && card->total && ++ticks % (20 * g_cards.size()) == 0)
                        lines.push_back(ProgressLine(*card));
                }
                return lines;
            });
        for (auto& card : g_cards) {
            if (card->finished) continue; // refused before its worker (its lock)
            Card* each = card.get();
            workers.emplace_back([each] { WriteCard(each, *g_package); });
        }
        for (std::thread& worker : workers) worker.join();
    }
    return 0;
}

// On the interrupt's thread: each card ends the step it is in and is
// reported as it is.
void ReportInterruption(int exitCode) { ReportStoppedCards(Cards(), *g_package, &g_log, exitCode); }

} // namespace

// Cards that are no card, or a card named a second time, are refused
// untouched; the others go on.
namespace {

void RefuseNoCards(const PackagePlan& package)
{
    std::vector<std::pair<FileId, const Card*>> seen;
    for (auto& card : g_cards) {
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

} // namespace

int Write(const std::vector<std::string>& arguments)
{
    ParsedArguments parsed;
    std::string error;
    if (!ParseArguments(arguments, kWriteOptions, &parsed, &error)) return UsageError("write: " + error);
    if (parsed.operands.size() < 2) return UsageError("write: expected PACKAGE_DIR and at least one CARD_DIR");
    g_cards.clear();
    g_stopping = false;
    std::error_code ignored;
    const fs::path log = parsed.Has("--log") ? fs::absolute(fs::u8path(parsed.Value("--log")), ignored) : fs::path();
    // Every card by its path with links resolved, before the package is
    // entered: a link to a card folder is that card.
    for (size_t i = 1; i < parsed.operands.size(); ++i) {
        auto card = std::make_unique<Card>();
        card->root = AbsoluteFolder(parsed.operands[i]);
        card->typed = parsed.operands[i];
        card->shown = Shown(fs::u8path(parsed.operands[i]));
        card->inPlace = parsed.Has("--in-place");
        g_cards.push_back(std::move(card));
    }
    std::string why;
    if (!log.empty() && !g_log.Open(log, &why)) return Failure(kExitUsage, why + "; no card written");
    PackagePlan package;
    std::string refusal;
    if (const Stop refused = PreparePackage(parsed.operands[0], &package, &refusal)) {
        for (auto& card : g_cards)
            g_log.Append(Record(*card, package, *refused, "the package was refused: " + refusal + "; card untouched"));
        g_log.Close(&why);
        return *refused;
    }
    g_package = &package;
    RefuseNoCards(package);

    // The locks first, all of them, as run takes its own: a card in use is
    // refused, the others go on.
    for (auto& card : g_cards)
        if (!card->finished) AdmitCard(card.get(), "write", parsed.Has("--any-volume"));
    g_plainLines = ErrorTerminalColumns() == 0;
    RunInterruptible(WriteAllCards, ReportInterruption);

    int code = 0;
    for (auto& card : g_cards) {
        printf("%s\n", card->verdict.c_str());
        code = std::max(code, card->code);
        g_log.Append(Record(*card, package));
        card->folder.Close();
        UnlockFolder(card->folderLock);
    }
    if (!g_log.Close(&why)) {
        fprintf(stderr, "pelk-mapcopy: %s\n", why.c_str());
        code = std::max(code, kExitIoError);
    }
    const size_t good = static_cast<size_t>(
        std::count_if(g_cards.begin(), g_cards.end(), [](const auto& card) { return card->code == 0; }));
    printf("%zu of %zu cards good\n", good, g_cards.size());
    g_cards.clear();
    g_package = nullptr;
    return code;
}

} // namespace tool
