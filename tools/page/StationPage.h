// The station's web page: every slot at a glance, for a production line.
// The station publishes a snapshot whenever something changes; the page
// server sends it to every open page as a server-sent event and serves it
// at /state. The server itself is behind StationPageServer.h: cpp-httplib
// on Linux, none on Windows (see tools/CMakeLists.txt).
#ifndef PELK_TOOLS_STATIONPAGE_H
#define PELK_TOOLS_STATIONPAGE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tool {

struct SlotView {
    std::string card;            // the card as the tool shows it
    std::string phase;           // the phase it is in, as the tool names it
    uint64_t done = 0, total = 0; // bytes
    std::string result;          // "" while at work, "good" or "not good"
    std::string reason;          // why not good
};

struct StationView {
    std::string package;
    size_t good = 0, notGood = 0; // cards of this batch
    bool stopping = false;
    std::vector<SlotView> slots;
};

// The view as pages receive it: one JSON object on one line. Sizes are also
// given as the tool writes them (doneText, totalText); text that is not
// UTF-8 has U+FFFD in place of its bad bytes.
std::string StationViewJson(const StationView& view);

struct PageAddress {
    std::string host;
    uint16_t port = 0;
};

// "HOST:PORT" ("[::1]:PORT" for IPv6); false with why for anything else.
bool ParsePageAddress(const std::string& text, PageAddress* address, std::string* why);
// 127.0.0.0/8, ::1 and localhost.
bool IsLoopbackHost(const std::string& host);

// The page, HTML, CSS and JavaScript with no other resource, showing the
// view given (JSON, as StationViewJson writes it) until the next arrives.
std::string StationPageHtml(const std::string& viewJson);

class PageFeed;
class PageServer;

// One page server for one station run: Start once, Publish from any thread,
// Stop (or destroy) once done. Stop ends open pages' event streams and joins
// every thread the server started.
class StationPage {
public:
    StationPage();
    ~StationPage();

    // Serves on address, "HOST:PORT" (port 0: a free one). A host that is not
    // loopback is refused unless anyAddress (--page-any-address).
    bool Start(const std::string& address, bool anyAddress, std::string* why);
    uint16_t Port() const;   // the port bound; 0 when not serving
    std::string Url() const; // http://HOST:PORT/
    // Sent to open pages only when it differs from the last view published.
    void Publish(const StationView& view);
    void Stop();

private:
    std::unique_ptr<PageFeed> feed_;
    std::unique_ptr<PageServer> server_;
    PageAddress address_;
};

} // namespace tool

#endif
