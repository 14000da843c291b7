// One card written as write and station write it: the sealed package
// checked once (PreparePackage), then each card admitted (lock, FAT) and
// written by a worker of its own (WriteCard), the transaction of
// docs/writing-cards.md. Write.cpp and Station.cpp are the two commands.
#ifndef PELK_TOOLS_CARD_WRITER_H
#define PELK_TOOLS_CARD_WRITER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CardTree.h"
#include "Commands.h"
#include "ToolPlatform.h"
#include "LiveLines.h"
#include "Log.h"
#include "Manifest.h"
#include "Package.h"
#include "ProgressTicker.h"

namespace tool {

enum class Phase { Waiting, Checking, Writing, ReadingBack, Replacing, Done };
const char* PhaseName(Phase phase);

// What the package is, shared read-only by every worker.
struct PackagePlan {
    std::filesystem::path folder;     // absolute
    std::vector<TreeEntry> tree;      // host: relative to the package
    Manifest manifest;
    std::string manifestText;
    uint16_t sum = 0;                 // as checksum.ini holds it
    uint64_t files = 0;
    uint64_t bytes = 0;
    std::vector<std::string> outline; // the tree's names, kinds and sizes
    std::string version;              // PreDLVerno.ini's first line
    std::string manifestSha256;
};

// What the cards of one write or one station share: the interrupt's stop,
// after which no card starts another step, and stderr.
struct CardBatch {
    std::atomic<bool> stopping{false};
    ProgressOutput output;
};

// One card and its worker. The worker alone writes the fields below `lock`
// but under it; the progress printer and the interrupt read them under it.
struct Card {
    const char* command = "write"; // the log's "command"
    CardBatch* batch = nullptr;    // the cards it is written with
    std::filesystem::path root;    // absolute, links resolved
    std::string typed;             // as given, bytes
    std::string shown;             // as given, escaped
    FolderLock* folderLock = nullptr;
    bool inPlace = false;

    // The worker's: the card folder held open, what it was when opened,
    // and the old and the new package as this write found and made them.
    HeldHandle folder;
    FileId identity;
    bool hadPackage = false;
    std::vector<TreeEntry> oldTree;
    FileId oldIdentity, newIdentity;

    std::mutex lock;
    std::chrono::system_clock::time_point started = std::chrono::system_clock::now();
    Phase phase = Phase::Waiting;
    uint64_t done = 0;  // bytes of this phase
    uint64_t total = 0; // bytes of this phase
    std::chrono::steady_clock::time_point phaseStart;
    bool finished = false;
    int code = 0;        // 0: good
    std::string verdict; // the line stdout gets
    Phase reached = Phase::Waiting;
    VolumeFacts volume;
    uint64_t clusterBytes = 0;
    double seconds = 0, writeSeconds = 0, readSeconds = 0;

    // Held by the worker across each step that changes what the card
    // holds, so the interrupt reports a card between steps, never mid-step.
    std::mutex replacing;

    void Enter(Phase next, uint64_t bytes);
    void Add(uint64_t bytes);
};

// The package checked as verify checks it and against its manifest; on a
// refusal prints it and sets *refusal.
Stop PreparePackage(const std::string& typed, PackagePlan* plan, std::string* refusal);

// Why a card folder is no card, naming what was probably meant; empty when
// it is one.
std::string NoCard(const Card& card, const PackagePlan& package);

// The card's lock for command, then (unless anyVolume) its file system: a
// card in use, one that cannot be opened or one not FAT is finished with
// its verdict; the others are ready for WriteCard.
void AdmitCard(Card* card, const char* command, bool anyVolume);

// The card written by the calling thread, to its verdict.
void WriteCard(Card* card, const PackagePlan& package);

// What the card holds, looked at on the card: the words after "it".
std::string WhatTheCardHolds(Card& card, const PackagePlan& package);

// The card's line in the log: its verdict's code and reason, or those given.
CardRecord Record(const Card& card, const PackagePlan& package);
CardRecord Record(const Card& card, const PackagePlan& package, int code, const std::string& reason);

// A verdict's reason: its words after "NOT GOOD: ".
std::string Reason(const std::string& verdict);

// One card's progress line, with card.lock held.
std::string ProgressLine(const Card& card);

// After an interrupt (exitCode 130 or 143): no card of the batch starts
// another step; each ends the one it is in, and what each holds is looked
// at, reported on stderr and logged. Called on the interrupt's thread; the
// step locks stay taken until the process exits.
void ReportStoppedCards(CardBatch* batch, const std::vector<Card*>& cards, const PackagePlan& package, CardLog* log,
                        int exitCode);

// Draws lines on the batch's stderr, a tick every quarter second: on a
// terminal all of terminal() redrawn in place, the last view once more when
// it ends; elsewhere whatever plain() returns, printed once.
class ProgressLines {
public:
    using Lines = std::function<std::vector<std::string>()>;
    ProgressLines(ProgressOutput* output, Lines terminal, Lines plain);
    ~ProgressLines();
    ProgressLines(const ProgressLines&) = delete;
    ProgressLines& operator=(const ProgressLines&) = delete;

private:
    void Draw();

    ProgressOutput* output_;
    Lines terminalLines_, plainLines_;
    Ticker ticker_; // last: ticks once the fields above are set
};

} // namespace tool

#endif
