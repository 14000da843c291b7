// The station's page served on 127.0.0.1: /, /state and the event stream
// read with httplib's client, then the page in headless Chromium. Views are
// published from the test's thread; a stream is read until the event
// expected arrives (a minute's guard only turns a hang into a failure).
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <httplib.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <regex>
#include <thread>

#include "Chromium.h"
#include "StationPage.h"

namespace {

using tool::SlotView;
using tool::StationView;

constexpr std::chrono::minutes kGuard(1);

StationView Slots(const std::vector<std::string>& results, uint64_t writingDone = 0)
{
    StationView view;
    view.package = "maps/PreDLMap 2026.12";
    for (size_t i = 0; i < results.size(); ++i) {
        SlotView slot;
        slot.card = "/media/card" + std::to_string(i + 1);
        slot.total = 1536ull << 20;
        slot.done = results[i].empty() ? writingDone : slot.total;
        slot.phase = results[i].empty() ? "writing" : "reading back";
        slot.result = results[i];
        if (results[i] == "not good") slot.reason = "read back differs at MassStorage/Map/a.dat";
        view.good += results[i] == "good";
        view.notGood += results[i] == "not good";
        view.slots.push_back(slot);
    }
    return view;
}

void Serve(tool::StationPage* page)
{
    std::string why;
    ASSERT_TRUE(page->Start("127.0.0.1:0", false, &why)) << why;
    ASSERT_NE(page->Port(), 0);
}

// One page's event stream: the data of each event, in order.
class EventStream {
public:
    explicit EventStream(uint16_t port) : client_("127.0.0.1", port)
    {
        client_.set_read_timeout(std::chrono::minutes(5));
        reader_ = std::thread([this] { Read(); });
    }
    ~EventStream()
    {
        client_.stop();
        reader_.join();
    }

    // The next event's data; none when the stream ended first.
    std::optional<std::string> Next()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!arrived_.wait_for(lock, kGuard, [this] { return !events_.empty() || ended_; })) {
            ADD_FAILURE() << "no event, and the stream has not ended";
            return std::nullopt;
        }
        if (events_.empty()) return std::nullopt;
        std::string data = events_.front();
        events_.pop_front();
        return data;
    }
    // True once the server ended the stream with every event read.
    bool EndsWithNoMoreEvents() { return !Next().has_value() && ended_; }
    std::string ContentType()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return contentType_;
    }

private:
    void Read()
    {
        client_.Get(
            "/events",
            [this](const httplib::Response& response) {
                std::lock_guard<std::mutex> lock(mutex_);
                contentType_ = response.get_header_value("Content-Type");
                return true;
            },
            [this](const char* data, size_t size) {
                Take(std::string(data, size));
                return true;
            });
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
        arrived_.notify_all();
    }
    void Take(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        buffer_ += text;
        for (size_t end; (end = buffer_.find("\n\n")) != std::string::npos; buffer_.erase(0, end + 2)) {
            const std::string event = buffer_.substr(0, end + 1);
            const size_t data = event.find("data: ");
            if (data == std::string::npos) continue; // a comment
            events_.push_back(event.substr(data + 6, event.find('\n', data) - data - 6));
        }
        arrived_.notify_all();
    }

    httplib::Client client_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::string buffer_, contentType_;
    std::deque<std::string> events_;
    bool ended_ = false;
};

TEST(StationPageServed, ServesThePageAndTheViewLastPublished)
{
    tool::StationPage page;
    Serve(&page);
    EXPECT_EQ(page.Url(), "http://127.0.0.1:" + std::to_string(page.Port()) + "/");
    httplib::Client client("127.0.0.1", page.Port());

    for (const StationView& view : {StationView{}, Slots({"good", ""}, 5000), Slots({"good", "not good"})}) {
        page.Publish(view);
        const auto html = client.Get("/");
        ASSERT_TRUE(html) << httplib::to_string(html.error());
        EXPECT_EQ(html->status, 200);
        EXPECT_EQ(html->get_header_value("Content-Type"), "text/html; charset=utf-8");
        EXPECT_EQ(html->body, tool::StationPageHtml(tool::StationViewJson(view)));
        const auto state = client.Get("/state");
        ASSERT_TRUE(state) << httplib::to_string(state.error());
        EXPECT_EQ(state->get_header_value("Content-Type"), "application/json");
        EXPECT_EQ(state->body, tool::StationViewJson(view));
    }
    const auto nothing = client.Get("/nothing-here");
    ASSERT_TRUE(nothing);
    EXPECT_EQ(nothing->status, 404);
}

TEST(StationPageServed, StreamsAViewOnlyWhenItChanged)
{
    tool::StationPage page;
    Serve(&page);
    const StationView writing = Slots({"", ""}, 1000), moreWritten = Slots({"", ""}, 2000);
    page.Publish(writing);
    EventStream stream(page.Port());
    EXPECT_EQ(stream.Next(), tool::StationViewJson(writing)); // the view on opening
    EXPECT_EQ(stream.ContentType(), "text/event-stream");

    // A page is sent the latest view; were the unchanged one sent, it could
    // come first (PageFeed's own test shows it is never counted a change).
    page.Publish(writing);
    page.Publish(moreWritten);
    EXPECT_EQ(stream.Next(), tool::StationViewJson(moreWritten));
    page.Publish(moreWritten);
    page.Publish(writing);
    EXPECT_EQ(stream.Next(), tool::StationViewJson(writing));
}

TEST(StationPageServed, SendsEveryOpenPageEachView)
{
    tool::StationPage page;
    Serve(&page);
    std::vector<std::unique_ptr<EventStream>> streams;
    for (int i = 0; i < 3; ++i) {
        streams.push_back(std::make_unique<EventStream>(page.Port()));
        EXPECT_EQ(streams.back()->Next(), tool::StationViewJson(StationView{}));
    }
    const std::vector<StationView> views = {Slots({""}), Slots({"", ""}), Slots({"good", "not good"})};
    for (const StationView& view : views) {
        page.Publish(view);
        for (auto& stream : streams) EXPECT_EQ(stream->Next(), tool::StationViewJson(view));
    }
}

TEST(StationPageServed, StopAndTheDestructorEndOpenStreams)
{
    for (const bool destroy : {false, true}) {
        auto page = std::make_unique<tool::StationPage>();
        Serve(page.get());
        page->Publish(Slots({"good"}));
        EventStream stream(page->Port()), other(page->Port());
        ASSERT_TRUE(stream.Next().has_value());
        ASSERT_TRUE(other.Next().has_value());
        // An idle keep-alive connection too.
        httplib::Client idle("127.0.0.1", page->Port());
        ASSERT_TRUE(idle.Get("/state"));
        if (destroy) {
            page.reset();
        } else {
            page->Stop();
            EXPECT_EQ(page->Port(), 0);
            page->Stop();
        }
        EXPECT_TRUE(stream.EndsWithNoMoreEvents()) << (destroy ? "destructor" : "Stop");
        EXPECT_TRUE(other.EndsWithNoMoreEvents()) << (destroy ? "destructor" : "Stop");
    }
}

TEST(StationPageServed, OutlivesAPageThatWentAway)
{
    tool::StationPage page;
    Serve(&page);
    {
        EventStream gone(page.Port());
        ASSERT_TRUE(gone.Next().has_value());
    }
    // The stream of the page that went away is written to now: its closed
    // socket must end that stream alone, never the station or other pages.
    for (const uint64_t done : {1000, 2000, 3000}) {
        const StationView view = Slots({""}, done);
        page.Publish(view);
        EventStream stream(page.Port());
        EXPECT_EQ(stream.Next(), tool::StationViewJson(view));
    }
}

TEST(StationPageServed, RefusesAPortInUse)
{
    tool::StationPage first, second;
    Serve(&first);
    const std::string address = "127.0.0.1:" + std::to_string(first.Port());
    std::string why;
    EXPECT_FALSE(second.Start(address, false, &why));
    EXPECT_NE(why.find("cannot listen on " + address), std::string::npos) << why;
    EXPECT_EQ(second.Port(), 0);
    std::string again;
    EXPECT_FALSE(first.Start("127.0.0.1:0", false, &again));
    EXPECT_NE(again.find("served already"), std::string::npos) << again;
}

TEST(StationPageBrowser, ChromiumShowsEverySlotAndItsResult)
{
    const std::string chromium = Chromium();
    if (chromium.empty()) GTEST_SKIP() << "no chromium on the PATH";
    tool::StationPage page;
    Serve(&page);
    // Views as a batch goes: the page must show the last.
    page.Publish(Slots({"", "", "", ""}, 4096));
    page.Publish(Slots({"good", "good", "good", ""}, 1ull << 30));
    page.Publish(Slots({"good", "good", "good", "good"}));

    const std::string dom = RunChromium(chromium, "--dump-dom", page.Url());
    const std::vector<ShownSlot> slots = SlotsIn(dom);
    ASSERT_EQ(slots.size(), 4u) << dom;
    for (size_t i = 0; i < slots.size(); ++i) {
        EXPECT_EQ(slots[i].card, "/media/card" + std::to_string(i + 1));
        EXPECT_EQ(slots[i].result, "good");
        EXPECT_EQ(slots[i].verdict, "remove");
    }
    EXPECT_NE(dom.find(R"(<span id="good">4</span>)"), std::string::npos) << dom;
    EXPECT_NE(dom.find(R"(<span id="not-good">0</span>)"), std::string::npos) << dom;
}

// A picture of the page in the test's folder, or where
// PELK_STATION_PAGE_SCREENSHOT says (docs/station-page.png is made so).
TEST(StationPageBrowser, Screenshot)
{
    const char* named = std::getenv("PELK_STATION_PAGE_SCREENSHOT");
    const std::string file = named != nullptr ? named : "station-page.png";
    const std::string chromium = Chromium();
    if (chromium.empty()) GTEST_SKIP() << "no chromium on the PATH";
    std::remove(file.c_str());
    tool::StationPage page;
    Serve(&page);
    StationView view = Slots({"good", "good", "not good", ""}, 1100ull << 20);
    view.good = 17;
    view.notGood = 1;
    view.slots[2].phase = "reading back";
    view.slots[2].done = 700ull << 20;
    page.Publish(view);
    RunChromium(chromium, "--window-size=1200,700 --screenshot=" + file, page.Url());
    std::ifstream png(file, std::ios::binary);
    std::string signature(8, '\0');
    png.read(&signature[0], 8);
    EXPECT_EQ(signature, "\x89PNG\r\n\x1A\n");
}

} // namespace
