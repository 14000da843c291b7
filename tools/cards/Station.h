// pelk-mapcopy station: what it shows, for another view of it (a page) to
// copy while it runs. StationSnapshot is safe on any thread.
#ifndef PELK_TOOLS_STATION_H
#define PELK_TOOLS_STATION_H

#include <cstdint>
#include <string>
#include <vector>

namespace tool {

// One slot: a place a card is mounted (Linux: its mount point; Windows: its
// drive), showing the last card that came there.
struct StationSlot {
    enum class Result { Working, Good, NotGood };
    std::string card;   // the card's folder, as shown
    std::string phase;  // "checking", "writing", ... "done"; the phase reached once it ended
    uint64_t done = 0;  // bytes of this phase
    uint64_t total = 0; // bytes of this phase; 0 for a phase without bytes
    Result result = Result::Working;
    bool released = false; // good and released: remove it
    std::string reason;    // not good: why; good but not released: why it must be unmounted by hand
    std::string line;      // the slot's status line, as the terminal shows it
};

struct StationState {
    std::string package;         // the package folder, as shown
    std::vector<StationSlot> slots; // in the order the slots were first used
    uint64_t good = 0, notGood = 0; // cards of this batch that have ended
    bool stopping = false;       // no new cards are taken
};

// A copy of the station's state now; empty when no station runs.
StationState StationSnapshot();

} // namespace tool

#endif
