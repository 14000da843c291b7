// pelk-mapcopy station: the sealed package checked once, then every card
// that comes (a new mount below a watched folder; on Windows a removable
// drive) written as write writes it (CardWriter.h), by a worker of its own,
// beside the cards already in; a good card released for removal. Ctrl-C
// ends the batch: no new cards, each card being written ends its write.
#include "Station.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CardWriter.h"
#include "Commands.h"
#include "StationPage.h"
#include "ToolPlatform.h"

namespace fs = std::filesystem;

namespace tool {

namespace {

const std::vector<OptionRule> kStationOptions = OptionRules("station");

// A card that came to a slot, and the worker writing it.
struct StationCard {
    std::unique_ptr<Card> card = std::make_unique<Card>();
    WatchedVolume volume;
    std::thread worker;
    // Under StationRun::mutex.
    bool ended = false;     // written (or refused), logged and released
    bool logged = false;    // its log line is taken, by its worker or the interrupt
    bool released = false;
    std::string unreleased; // good, but it could not be released: why
};

struct StationRun {
    mutable std::mutex mutex; // before any card's lock
    bool running = false;
    bool stopping = false;
    std::vector<std::unique_ptr<StationCard>> cards;             // as they came
    std::vector<std::pair<fs::path, StationCard*>> slots;        // each place's last card
    std::string packageShown;
    const PackagePlan* package = nullptr;
    bool anyVolume = false;
    bool inPlace = false;
    VolumeWatch* watch = nullptr;
    std::set<fs::path> present; // the volumes seen at the last look
    CardLog log;
    std::string pageAddress; // --page, empty for none
    bool pageAnyAddress = false;
    std::unique_ptr<StationPage> page;
    std::string pageFailure; // why the page could not be served
    std::vector<fs::path> folders; // watched
    CardBatch batch;
};

// The station running now, for StationSnapshot alone: its state is the
// Station call's own.
std::mutex s_runningLock;
const StationRun* s_running = nullptr;

// A slot as it shows its card, with the station's mutex held.
StationSlot SlotOf(const StationCard& each)
{
    Card& card = *each.card;
    std::lock_guard<std::mutex> guard(card.lock);
    StationSlot slot;
    slot.card = card.shown;
    slot.phase = PhaseName(card.phase);
    slot.done = card.done;
    slot.total = card.total;
    if (card.finished && card.code) {
        slot.result = StationSlot::Result::NotGood;
        slot.reason = Reason(card.verdict);
        slot.line = card.verdict;
    } else if (!each.ended) {
        slot.line = card.finished ? card.shown + ": good, being released" : ProgressLine(card);
    } else {
        slot.result = StationSlot::Result::Good;
        slot.released = each.released;
        slot.reason = each.unreleased;
        slot.line = each.released ? card.shown + ": good: remove"
                                  : card.shown + ": good, but " + each.unreleased + ": unmount it by hand";
    }
    return slot;
}

// A copy of the station's state now.
StationState Snapshot(const StationRun& station)
{
    std::lock_guard<std::mutex> guard(station.mutex);
    StationState state;
    if (!station.running) return state;
    state.package = station.packageShown;
    state.stopping = station.stopping;
    for (const auto& place : station.slots) state.slots.push_back(SlotOf(*place.second));
    for (const auto& each : station.cards) {
        if (!each->ended) continue;
        if (each->card->code) ++state.notGood;
        else ++state.good;
    }
    return state;
}

// The status lines a terminal shows: the batch, then one per slot.
std::vector<std::string> TerminalLines(const StationRun& station)
{
    const StationState state = Snapshot(station);
    std::vector<std::string> lines = {"station: " + Plural(state.good, "card", "cards") + " good, " +
                                      std::to_string(state.notGood) + " not good; " +
                                      (state.stopping ? "ending the batch" : "waiting for cards (Ctrl-C ends)")};
    for (const StationSlot& slot : state.slots) lines.push_back(slot.line);
    return lines;
}

void PublishNow(StationRun& station);

void PrintSlotOf(StationRun& station, const StationCard& each)
{
    std::string line;
    {
        std::lock_guard<std::mutex> guard(station.mutex);
        line = SlotOf(each).line;
    }
    station.batch.output.Plain(line);
}

// The card's log line is its worker's unless the interrupt took it.
bool TakeLogLine(StationRun& station, StationCard* each)
{
    std::lock_guard<std::mutex> guard(station.mutex);
    if (each->logged) return false;
    each->logged = true;
    return true;
}

void Admit(const StationRun& station, Card* card, const PackagePlan& package)
{
    const std::string noCard = NoCard(*card, package);
    if (noCard.empty()) return AdmitCard(card, "station", station.anyVolume);
    std::lock_guard<std::mutex> guard(card->lock);
    card->code = kExitUsage;
    card->finished = true;
    card->verdict = "NOT GOOD: " + card->shown + ": " + noCard + "; card untouched";
}

// A card's worker: admitted, written, logged, and released when good.
void Serve(StationRun& station, StationCard* each)
{
    Card* card = each->card.get();
    const PackagePlan& package = *station.package;
    Admit(station, card, package);
    if (!card->finished) WriteCard(card, package);
    // A card the interrupt took is the interrupt's to look at, through the
    // folder still open, until the process ends.
    if (!TakeLogLine(station, each)) return;
    // Nothing of the station may hold the volume when it is let go.
    card->folder.Close();
    UnlockFolder(card->folderLock);
    card->folderLock = nullptr;
    station.log.Append(Record(*card, package));
    std::string how, why;
    const bool good = card->code == 0;
    const bool released = good && g_releaseCalls.release(each->volume, &how, &why);
    {
        std::lock_guard<std::mutex> guard(station.mutex);
        each->ended = true;
        each->released = released;
        if (good && !released) each->unreleased = "it could not be released (" + why + ")";
    }
    // The page has the card's end before its line says remove.
    PublishNow(station);
    PrintSlotOf(station, *each);
}

void Take(StationRun& station, const WatchedVolume& volume)
{
    auto each = std::make_unique<StationCard>();
    each->volume = volume;
    Card& card = *each->card;
    card.command = "station";
    card.batch = &station.batch;
    card.inPlace = station.inPlace;
    card.root = volume.root;
    card.typed = volume.root.u8string();
    card.shown = Shown(volume.root);
    StationCard* taken = each.get();
    {
        std::lock_guard<std::mutex> guard(station.mutex);
        station.cards.push_back(std::move(each));
        auto slot = std::find_if(station.slots.begin(), station.slots.end(),
                                 [&](const auto& place) { return place.first == volume.root; });
        if (slot == station.slots.end()) station.slots.emplace_back(volume.root, taken);
        else slot->second = taken;
    }
    station.batch.output.Plain(card.shown + ": new card");
    taken->worker = std::thread(Serve, std::ref(station), taken);
}

std::string Joined(const std::vector<fs::path>& folders)
{
    std::string text;
    for (const fs::path& folder : folders) text += (text.empty() ? "" : ", ") + Shown(folder);
    return text;
}

StationView ViewOf(const StationState& state)
{
    StationView view;
    view.package = state.package;
    view.good = static_cast<size_t>(state.good);
    view.notGood = static_cast<size_t>(state.notGood);
    view.stopping = state.stopping;
    for (const StationSlot& slot : state.slots) {
        SlotView shown;
        shown.card = slot.card;
        shown.phase = slot.phase;
        shown.done = slot.done;
        shown.total = slot.total;
        shown.result = slot.result == StationSlot::Result::Good      ? "good"
                       : slot.result == StationSlot::Result::NotGood ? "not good"
                                                                     : "";
        shown.reason = slot.reason;
        view.slots.push_back(shown);
    }
    return view;
}

void PublishNow(StationRun& station)
{
    if (station.page) station.page->Publish(ViewOf(Snapshot(station)));
}

// The page's server, started where the interrupt's signals are blocked, as
// in every thread of the station; false with pageFailure set.
bool StartPage(StationRun& station)
{
    if (station.pageAddress.empty()) return true;
    station.page = std::make_unique<StationPage>();
    std::string why;
    if (!station.page->Start(station.pageAddress, station.pageAnyAddress, &why)) {
        station.pageFailure = why;
        return false;
    }
    station.batch.output.Plain("station: the page is at " + station.page->Url());
    return true;
}

bool Stopping(StationRun& station)
{
    std::lock_guard<std::mutex> guard(station.mutex);
    return station.stopping;
}

// The station's loop: each volume not there at the last look is a card.
int32_t RunStation(StationRun& station)
{
    // Started here, where the interrupt's signals are blocked, as in every worker.
    if (!StartPage(station)) return 0;
    fprintf(stderr, "station: waiting for cards %s; Ctrl-C ends the batch\n",
            station.folders.empty() ? "in removable drives" : ("below " + Joined(station.folders)).c_str());
    fflush(stderr);
    // The page follows the station's state, a look each quarter second; the
    // page sends on only a view that changed.
    std::optional<Ticker> publisher;
    if (station.page) publisher.emplace(std::chrono::milliseconds(250), [&station] { PublishNow(station); });
    std::optional<ProgressLines> lines;
    if (station.batch.output.Terminal())
        lines.emplace(&station.batch.output, [&station] { return TerminalLines(station); },
                      [] { return std::vector<std::string>(); });
    while (!Stopping(station)) {
        std::set<fs::path> now;
        for (const WatchedVolume& volume : VolumesNow(station.watch)) {
            now.insert(volume.root);
            if (!station.present.count(volume.root)) Take(station, volume);
        }
        station.present = now;
        if (!AwaitVolumeChange(station.watch) && !Stopping(station)) {
            station.batch.output.Plain("pelk-mapcopy: station: the mount table can no longer be watched; no new cards");
            break;
        }
    }
    // Each card being written ends its write.
    for (auto& each : station.cards) each->worker.join();
    lines.reset();
    if (publisher) publisher->Stop();
    PublishNow(station);
    return 0;
}

// The first Ctrl-C: no new cards.
void StopTaking(StationRun& station, int exitCode)
{
    {
        std::lock_guard<std::mutex> guard(station.mutex);
        station.stopping = true;
    }
    WakeVolumeWatch(station.watch);
    station.batch.output.Plain(std::string("station: ") + SignalName(exitCode) +
              ": no new cards; each card being written ends its write (Ctrl-C again stops them between steps)");
}

// The second: as write, each card stops between two steps and is reported.
void StopNow(StationRun& station, int exitCode)
{
    std::vector<Card*> cards;
    {
        std::lock_guard<std::mutex> guard(station.mutex);
        for (auto& each : station.cards) {
            if (each->logged) continue;
            each->logged = true;
            cards.push_back(each->card.get());
        }
    }
    ReportStoppedCards(&station.batch, cards, *station.package, &station.log, exitCode);
}

// The batch on stdout; the largest card code, or 0 when every card was good.
int ReportBatch(StationRun& station)
{
    int code = 0;
    uint64_t good = 0;
    std::vector<std::string> lines;
    for (auto& each : station.cards) {
        const Card& card = *each->card;
        code = std::max(code, card.code);
        if (card.code) lines.push_back(card.verdict);
        else ++good;
        if (!card.code && !each->unreleased.empty())
            lines.push_back(card.shown + ": good, but " + each->unreleased + ": unmount it by hand");
    }
    printf("batch: %s good, %s not good\n", Plural(good, "card", "cards").c_str(),
           Grouped(station.cards.size() - good).c_str());
    for (const std::string& line : lines) printf("%s\n", line.c_str());
    fflush(stdout);
    std::string why;
    if (!station.log.Close(&why)) {
        fprintf(stderr, "pelk-mapcopy: %s\n", why.c_str());
        code = std::max(code, kExitIoError);
    }
    return code;
}

// The folders to watch, absolute: those given, else the defaults there are.
Stop WatchedFolders(const ParsedArguments& parsed, std::vector<fs::path>* folders)
{
    std::error_code error;
    for (const std::string& typed : parsed.Values("--watch"))
        folders->push_back(fs::absolute(fs::u8path(typed), error).lexically_normal());
    if (parsed.Has("--watch")) return std::nullopt;
    const std::vector<fs::path> defaults = DefaultWatchFolders();
    for (const fs::path& folder : defaults)
        if (fs::is_directory(folder, error)) folders->push_back(folder);
    if (defaults.empty() || !folders->empty()) return std::nullopt;
    return Failure(kExitNoInput, "none of " + Joined(defaults) +
                                     " is there to watch; --watch DIR names the folder cards are mounted below");
}

// The volumes there before the station: named once, never written.
void SayWhatIsThere(StationRun& station)
{
    std::vector<fs::path> there;
    for (const WatchedVolume& volume : VolumesNow(station.watch)) {
        there.push_back(volume.root);
        station.present.insert(volume.root);
    }
    if (!there.empty())
        fprintf(stderr, "station: %s already there not written: %s\n",
                Plural(there.size(), "volume", "volumes").c_str(), Joined(there).c_str());
}

// The options, checked, as the station's settings.
Stop Settings(const ParsedArguments& parsed, StationRun* station)
{
    std::string why;
    if (const Stop refused = WatchedFolders(parsed, &station->folders)) return refused;
    if (parsed.Has("--page-any-address") && !parsed.Has("--page"))
        return UsageError("station: --page-any-address goes with --page HOST:PORT");
    PageAddress address;
    if (parsed.Has("--page") && !ParsePageAddress(parsed.Value("--page"), &address, &why))
        return UsageError("station: --page: " + why);
    if (parsed.Has("--page") && !parsed.Has("--page-any-address") && !IsLoopbackHost(address.host))
        return UsageError("station: --page " + parsed.Value("--page") +
                          ": other machines could reach it, and it has no password; --page-any-address serves it "
                          "there all the same");
    station->anyVolume = parsed.Has("--any-volume");
    station->inPlace = parsed.Has("--in-place");
    station->pageAddress = parsed.Has("--page") ? parsed.Value("--page") : std::string();
    station->pageAnyAddress = parsed.Has("--page-any-address");
    return std::nullopt;
}

// The station runs: StationSnapshot sees it until EndStation.
void BeginStation(StationRun* station, const PackagePlan& package, const std::string& typed)
{
    {
        std::lock_guard<std::mutex> guard(station->mutex);
        station->package = &package;
        station->packageShown = Shown(fs::u8path(typed));
        station->running = true;
    }
    std::lock_guard<std::mutex> running(s_runningLock);
    s_running = station;
}

void EndStation(StationRun& station)
{
    {
        std::lock_guard<std::mutex> running(s_runningLock);
        if (s_running == &station) s_running = nullptr;
    }
    std::lock_guard<std::mutex> guard(station.mutex);
    EndVolumeWatch(station.watch);
    station.watch = nullptr;
    station.running = false;
    if (station.page) station.page->Stop();
    station.page.reset();
}

} // namespace

StationState StationSnapshot()
{
    std::lock_guard<std::mutex> running(s_runningLock);
    return s_running ? Snapshot(*s_running) : StationState();
}

int Station(const std::vector<std::string>& arguments)
{
    ParsedArguments parsed;
    std::string why;
    if (!ParseArguments(arguments, kStationOptions, &parsed, &why)) return UsageError("station: " + why);
    if (parsed.operands.size() != 1) return UsageError("station: expected PACKAGE_DIR alone");
    StationRun station;
    if (const Stop refused = Settings(parsed, &station)) return *refused;
    std::error_code ignored;
    const fs::path log = parsed.Has("--log") ? fs::absolute(fs::u8path(parsed.Value("--log")), ignored) : fs::path();
    if (!log.empty() && !station.log.Open(log, &why)) return Failure(kExitUsage, why + "; no card written");
    PackagePlan package;
    std::string refusal;
    if (const Stop refused = PreparePackage(parsed.operands[0], &package, &refusal)) {
        station.log.Close(&why);
        return *refused;
    }
    station.watch = WatchVolumes(station.folders, &why);
    if (!station.watch) {
        station.log.Close(&why);
        return Failure(kExitNoInput, why);
    }
    BeginStation(&station, package, parsed.operands[0]);
    SayWhatIsThere(station);
    RunStoppable([&station] { return RunStation(station); },
                 [&station](int exitCode) { StopTaking(station, exitCode); },
                 [&station](int exitCode) { StopNow(station, exitCode); });
    if (!station.pageFailure.empty()) {
        const std::string failure = station.pageFailure;
        station.log.Close(&why);
        EndStation(station);
        return Failure(kExitUsage, "cannot serve the page: " + failure + "; no card written");
    }
    const int code = ReportBatch(station);
    EndStation(station);
    return code;
}

} // namespace tool
