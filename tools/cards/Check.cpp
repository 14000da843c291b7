// pelk-mapcopy check: cards as write left them, each read from the card by a
// worker of its own and proven against the manifest on it and the device's
// sum. Nothing on a card changes.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CardTree.h"
#include "Commands.h"
#include "ToolPlatform.h"
#include "Log.h"
#include "Manifest.h"
#include "Names.h"
#include "PELK_UserMapCopy.h"
#include "Package.h"
#include "ProgressTicker.h"
#include "Transfer.h"

namespace fs = std::filesystem;

namespace tool {

namespace {

const std::vector<OptionRule> kCheckOptions = OptionRules("check");

struct CheckedCard {
    fs::path root;     // absolute, links resolved
    std::string typed; // as given, bytes
    std::string shown; // as given, escaped
    ProgressOutput* output = nullptr; // stderr, which every worker's lines share
    FolderLock* lock = nullptr;
    bool settled = false; // its verdict given before any worker (a repeat, in use)
    int code = 0;
    std::string verdict;
    CardRecord record; // the worker's at each phase it enters, under recordLock
    // Read by the interrupt while the worker runs.
    std::mutex recordLock;
    std::atomic<const char*> phase{"waiting"};
    std::atomic<bool> checked{false}; // verdict and record final
};

void Progress(const CheckedCard& card, const std::string& what) { card.output->Line(card.shown + ": " + what); }

// One buffer a worker for the files read whole here.
ChunkBuffer& WorkerBuffer()
{
    thread_local ChunkBuffer buffer;
    return buffer;
}

// The whole of a small file on the card, read from the volume.
bool ReadSmallFile(Handle folder, const fs::path& name, std::string* bytes, std::string* why)
{
    InputFile input;
    if (!input.Open(folder, name, ReadMode::FromTheVolume, why)) return false;
    ChunkBuffer& buffer = WorkerBuffer();
    for (long long got; (got = input.Read(&buffer, why)) != 0;) {
        if (got < 0) return false;
        bytes->append(reinterpret_cast<const char*>(buffer.Data()), static_cast<size_t>(got));
    }
    return true;
}

// checksum.ini's number as the device reads it, with the library's scanner.
bool ReadChecksumOnCard(Handle folder, const fs::path& name, uint32_t* value, std::string* why)
{
    InputFile input;
    if (!input.Open(folder, name, ReadMode::FromTheVolume, why)) return false;
    ChunkBuffer& buffer = WorkerBuffer();
    ChecksumScan scan;
    BeginChecksumScan(&scan);
    for (long long got; (got = input.Read(&buffer, why)) != 0;) {
        if (got < 0) return false;
        if (ScanChecksumText(&scan, buffer.Data(), static_cast<size_t>(got))) break;
    }
    *value = ChecksumScanValue(&scan);
    return true;
}

// What a stopped or pulled write leaves on a card, and the way on from it.
struct Leftover {
    const char* name;
    const char* means;
};
const Leftover kLeftovers[] = {
    {kIncompleteName, "an --in-place write did not finish, so its PreDLMap is no package to trust; do not put it "
                      "into a device"},
    {kStashName, "a write did not finish; its old package was set aside"},
    {kStagingName, "a write did not finish; its new package was not put in place"},
    {kManifestAside, "a write did not finish; its manifest was not put in place"},
};

// The card the worker reads: every step a verdict when it fails.
class CardChecker {
public:
    explicit CardChecker(CheckedCard* card) : card_(card), record_(card->record) {}

    void Run()
    {
        const auto start = std::chrono::steady_clock::now();
        Enter("checking");
        Progress(*card_, "checking");
        const bool good = Open() && Finished() && ReadManifest() && ReadPackage() && Judge();
        record_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (good) {
            Enter("done");
            card_->verdict = "good: " + card_->shown + " holds exactly its manifest's " +
                             Plural(record_.files, "file", "files") + " (" + Size(record_.bytes) +
                             "), read from the card, and the device accepts its sum " + Hex(record_.packageSum);
        }
        Publish();
        card_->checked = true;
    }

private:
    Handle Root() const { return folder_.Get(); }
    void Enter(const char* phase)
    {
        record_.phase = phase;
        card_->phase = phase;
        Publish();
    }
    void Publish()
    {
        std::lock_guard<std::mutex> guard(card_->recordLock);
        card_->record = record_;
    }

    bool Fail(int code, const std::string& why)
    {
        card_->code = code;
        card_->verdict = "NOT GOOD: " + card_->shown + ": " + why;
        return false;
    }

    bool Open()
    {
        const int error = g_fileCalls.open(kNoFolder, card_->root, OpenAs::Folder, folder_.Out());
        if (error) return Fail(kExitNoInput, "cannot open the card folder: " + FailureText(error));
        record_.volume = DescribeVolume(card_->root);
        return true;
    }

    // A card as a finished write leaves it: a PreDLMap folder, its
    // manifest, and nothing a stopped write leaves.
    bool Finished()
    {
        std::string why;
        std::optional<Kind> kind;
        for (const Leftover& leftover : kLeftovers) {
            if (!KindOf(Root(), leftover.name, &kind, &why))
                return Fail(kExitNoInput, "cannot look at the card: " + why);
            if (kind)
                return Fail(kExitNotForACard, "holds " + std::string(leftover.name) + ": not a finished write (" +
                                                  leftover.means + "); pelk-mapcopy write PACKAGE_DIR " +
                                                  card_->shown + " writes it again");
        }
        if (!KindOf(Root(), kPackageName, &kind, &why)) return Fail(kExitNoInput, "cannot look at the card: " + why);
        if (!kind) return Fail(kExitUsage, NoPackage());
        if (*kind != Kind::Folder)
            return Fail(kExitUsage, std::string(kPackageName) + " on the card is no folder (a link or a file)");
        record_.packageVersion = PackageVersion(card_->root / kPackageName);
        return true;
    }

    // Why a folder without PreDLMap is no card, naming what was meant.
    std::string NoPackage()
    {
        const std::string none = "holds no " + std::string(kPackageName) + ": no package was written on it";
        if (UpperAscii(card_->root.filename().u8string()) == "PREDLMAP")
            return none + "; it is a package folder, and the card folder is the one holding it, " +
                   Shown(card_->root.parent_path());
        std::optional<Kind> sdmmc;
        std::string why;
        if (KindOf(Root(), "SDMMC", &sdmmc, &why) && sdmmc == Kind::Folder)
            return none + "; it is a device root, and its card folder is " + Shown(card_->root / "SDMMC");
        return none;
    }

    bool ReadManifest()
    {
        std::string why, text;
        std::optional<Kind> kind;
        if (!KindOf(Root(), kCardManifestName, &kind, &why))
            return Fail(kExitNoInput, "cannot look at the card: " + why);
        if (!kind)
            return Fail(kExitUsage, "holds no manifest " + std::string(kCardManifestName) + " beside its " +
                                        kPackageName + ", so no write proved it; pelk-mapcopy write PACKAGE_DIR " +
                                        card_->shown + " writes both");
        if (!ReadSmallFile(Root(), kCardManifestName, &text, &why))
            return Fail(kExitIoError, "cannot read " + std::string(kCardManifestName) + ": " + why);
        record_.manifestSha256 = Sha256Of(text);
        if (!ParseManifest(text, &sealed_, &why))
            return Fail(kExitNotForACard, "its " + std::string(kCardManifestName) + " is no manifest (" + why +
                                              "); pelk-mapcopy write PACKAGE_DIR " + card_->shown +
                                              " writes it again");
        return true;
    }

    // Every file of the package read once from the card: its SHA-256 for
    // the manifest, its bytes into the device's sum where the device sums it.
    bool ReadPackage()
    {
        std::string why;
        std::vector<TreeEntry> tree;
        if (!ListTree(Root(), kPackageName, fs::path(), &tree, &why))
            return Fail(kExitNoInput, "cannot list its " + std::string(kPackageName) + ": " + why);
        const uint64_t total = TreeBytes(tree);
        Enter("reading");
        Progress(*card_, "reading " + Size(total));
        const auto start = std::chrono::steady_clock::now();
        for (const TreeEntry& entry : tree) {
            if (entry.folder) continue;
            const fs::path file = fs::path(kPackageName) / entry.host;
            std::optional<Kind> kind;
            if (!KindOf(Root(), file, &kind, &why))
                return Fail(kExitNoInput, "cannot look at " + Shown(file) + ": " + why);
            // Never opened: a link or a FIFO is no file of the package.
            if (kind != Kind::File) {
                now_[ManifestPath(entry.host)] = "not a file";
                continue;
            }
            FileDigest digest;
            if (!ReadCardFile(Root(), file, entry, &digest, &record_.packageSum, &why))
                return Fail(kExitIoError, "cannot read " + Shown(file) + ": " + why);
            now_[ManifestPath(entry.host)] = digest.sha256;
            if (IsPackageChecksum(entry)) checksum_ = file;
            ++record_.files;
            record_.bytes += digest.bytes;
        }
        record_.readSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return true;
    }

    // The card against its manifest, then as the device would judge it.
    bool Judge()
    {
        std::vector<std::string> reasons;
        const ManifestDifference difference = CompareManifests(sealed_, now_);
        for (const auto* paths : {&difference.changed, &difference.missing, &difference.added})
            for (const std::string& path : *paths) record_.differing.push_back(EscapedBytes(path));
        if (difference.Count()) {
            std::string lines;
            for (const std::string& line : DifferenceLines(difference, 10))
                lines += (lines.empty() ? "" : ", ") + EscapedBytes(line);
            reasons.push_back(Plural(difference.Count(), "file differs", "files differ") + " from its manifest " +
                              kCardManifestName + " (" + lines + ")");
        }
        const std::string rejected =
            "the device would reject it (" + StatusName(STATUS_CHECKSUM_FAILED) + "): ";
        std::string why;
        uint32_t value = 0;
        if (checksum_.empty())
            reasons.push_back(rejected + "its " + kPackageName + " holds no checksum.ini");
        else if (!ReadChecksumOnCard(Root(), checksum_, &value, &why))
            return Fail(kExitIoError, "cannot read " + Shown(checksum_) + ": " + why);
        else if (static_cast<uint16_t>(value) != record_.packageSum)
            reasons.push_back(rejected + "its files sum to " + Hex(record_.packageSum) + " where checksum.ini holds " +
                              Hex(value) +
                              (value > 0xFFFF ? " (low 16 bits " + Hex(static_cast<uint16_t>(value)) + ")" : ""));
        if (reasons.empty()) return true;
        std::string verdict;
        for (const std::string& reason : reasons) verdict += (verdict.empty() ? "" : "; ") + reason;
        return Fail(kExitNotForACard, verdict + "; pelk-mapcopy write PACKAGE_DIR " + card_->shown +
                                          " writes it again");
    }

    CheckedCard* card_;
    CardRecord record_; // the interrupt copies card_->record, never this
    HeldHandle folder_;
    Manifest sealed_, now_;
    fs::path checksum_; // on the card, relative to its folder; empty when none
};

// A card named again through another path is checked once.
void SettleRepeats(std::vector<std::unique_ptr<CheckedCard>>* cards)
{
    std::vector<std::pair<FileId, const CheckedCard*>> seen;
    for (auto& card : *cards) {
        FileId id;
        if (!FolderIdentity(card->root, &id)) continue;
        const auto first = std::find_if(seen.begin(), seen.end(), [&](const auto& each) { return each.first == id; });
        if (first == seen.end()) {
            seen.emplace_back(id, card.get());
            continue;
        }
        card->settled = true;
        card->code = kExitUsage;
        card->verdict = "NOT GOOD: " + card->shown + ": is the card " + first->second->shown + " again; checked once";
    }
}

// Each card's lock, as write takes it: a card being written is not read.
void LockCards(std::vector<std::unique_ptr<CheckedCard>>* cards)
{
    for (auto& card : *cards) {
        if (card->settled) continue;
        std::string why;
        card->code = LockCard(card->root, card->shown, "check", &card->lock, &why);
        if (card->code == 0) continue;
        card->verdict = card->code == kExitInUse ? "NOT GOOD: " + card->shown + ": not read: " + why
                                                 : "NOT GOOD: " + card->shown + ": cannot open the card folder: " + why;
        card->settled = true;
    }
}

// The card's line in the log, its reason the verdict's without the card's name.
CardRecord& Finish(CheckedCard* card)
{
    CardRecord& record = card->record;
    record.ended = std::chrono::system_clock::now();
    record.code = card->code;
    if (card->code == 0) return record;
    std::string reason = card->verdict;
    const std::string prefix = "NOT GOOD: " + card->shown + ": ";
    if (reason.compare(0, prefix.size(), prefix) == 0) reason.erase(0, prefix.size());
    record.reason = reason;
    return record;
}

// One check: its cards, the log, and the stderr the workers share.
struct CheckRun {
    std::vector<std::unique_ptr<CheckedCard>> cards;
    CardLog log;
    ProgressOutput output;
};

int32_t CheckAllCards(CheckRun& run)
{
    std::vector<std::thread> workers;
    for (auto& card : run.cards)
        if (!card->settled) workers.emplace_back([each = card.get()] { CardChecker(each).Run(); });
    for (std::thread& worker : workers) worker.join();
    return 0;
}

// On the interrupt's thread, the workers still reading: nothing on a card
// has changed, and each card still gets its line in the log.
void ReportCheckInterrupted(CheckRun& run, int exitCode)
{
    const char* signal = SignalName(exitCode);
    SayInterrupted(&run.output, false, exitCode, ": no card was changed; cards not checked to the end:");
    for (auto& card : run.cards) {
        if (card->settled || card->checked) {
            run.log.Append(Finish(card.get()));
            continue;
        }
        const std::string phase = card->phase.load();
        fprintf(stderr, "  %s (stopped while %s)\n", card->shown.c_str(), phase.c_str());
        CardRecord record;
        {
            std::lock_guard<std::mutex> guard(card->recordLock);
            record = card->record;
        }
        record.phase = phase;
        record.ended = std::chrono::system_clock::now();
        record.code = exitCode;
        record.reason = std::string("interrupted (") + signal + ") while " + phase + "; nothing on it was changed";
        run.log.Append(record);
    }
    std::string why;
    if (!run.log.Close(&why)) fprintf(stderr, "pelk-mapcopy: %s\n", why.c_str());
}

} // namespace

int Check(const std::vector<std::string>& arguments)
{
    ParsedArguments parsed;
    std::string why;
    if (!ParseArguments(arguments, kCheckOptions, &parsed, &why)) return UsageError("check: " + why);
    if (parsed.operands.empty()) return UsageError("check: expected at least one CARD_DIR");
    CheckRun run;
    std::vector<std::unique_ptr<CheckedCard>>& cards = run.cards;
    for (const std::string& typed : parsed.operands) {
        auto card = std::make_unique<CheckedCard>();
        card->output = &run.output;
        card->root = AbsoluteFolder(typed);
        card->typed = typed;
        card->shown = Shown(fs::u8path(typed));
        CardRecord& record = card->record;
        record.command = "check";
        record.started = std::chrono::system_clock::now();
        record.typed = card->typed;
        record.shown = card->shown;
        record.path = card->root;
        record.phase = "waiting";
        cards.push_back(std::move(card));
    }
    CardLog& log = run.log;
    std::error_code ignored;
    if (parsed.Has("--log") && !log.Open(fs::absolute(fs::u8path(parsed.Value("--log")), ignored), &why))
        return Failure(kExitUsage, why + "; no card checked");
    SettleRepeats(&cards);
    LockCards(&cards);
    RunInterruptible([&run] { return CheckAllCards(run); },
                     [&run](int exitCode) { ReportCheckInterrupted(run, exitCode); });
    int code = 0;
    for (auto& card : cards) {
        UnlockFolder(card->lock);
        printf("%s\n", card->verdict.c_str());
        code = std::max(code, card->code);
        log.Append(Finish(card.get()));
    }
    if (!log.Close(&why)) {
        fprintf(stderr, "pelk-mapcopy: %s\n", why.c_str());
        code = std::max(code, kExitIoError);
    }
    const auto good = std::count_if(cards.begin(), cards.end(), [](const auto& card) { return card->code == 0; });
    printf("%zu of %zu cards good\n", static_cast<size_t>(good), cards.size());
    return code;
}

} // namespace tool
