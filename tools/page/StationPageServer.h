// What StationPage needs of an HTTP server, and what it gives it: the feed
// of views. StationPageHttplib.cpp serves with cpp-httplib;
// StationPageNoServer.cpp, for builds without it, refuses to start.
#ifndef PELK_TOOLS_STATIONPAGESERVER_H
#define PELK_TOOLS_STATIONPAGESERVER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "StationPage.h"

namespace tool {

// The last view published, as JSON, with a version that counts changes.
class PageFeed {
public:
    PageFeed();
    // False, and nothing sent, when json is the view already published.
    bool Publish(std::string json);
    std::string Current() const;

    enum class Next { View, Quiet, Closed };
    // Waits until the view's version differs from *seen (then gives it and
    // its version), quiet passes (Quiet) or the feed is closed (Closed).
    Next WaitForNext(uint64_t* seen, std::string* json, std::chrono::milliseconds quiet);
    void Close();

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string json_;
    uint64_t version_ = 0;
    bool closed_ = false;
};

class PageServer {
public:
    virtual ~PageServer() = default;
    virtual uint16_t Port() const = 0;
    // Returns once every connection has ended and every thread is joined;
    // the feed must be closed first, which ends the event streams.
    virtual void Stop() = 0;
};

// Listening and serving when it returns; null with why when it cannot.
std::unique_ptr<PageServer> ServeStationPage(const PageAddress& address, PageFeed& feed, std::string* why);

} // namespace tool

#endif
