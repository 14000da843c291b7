// The station's page, what every build has of it: its address rule, the
// view as JSON and the page that carries it. Serving it is tested in
// StationPageServedTest.cpp.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "StationPage.h"
#include "StationPageServer.h"

namespace {

using tool::SlotView;
using tool::StationView;

struct AddressCase {
    const char* text;
    const char* host; // null: refused
    uint16_t port;
    const char* why;  // part of the refusal
};

void PrintTo(const AddressCase& c, std::ostream* os) { *os << c.text; }

class StationPageAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(StationPageAddress, IsHostColonPort)
{
    const AddressCase& c = GetParam();
    tool::PageAddress address;
    std::string why;
    const bool parsed = tool::ParsePageAddress(c.text, &address, &why);
    if (c.host == nullptr) {
        EXPECT_FALSE(parsed);
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        return;
    }
    ASSERT_TRUE(parsed) << why;
    EXPECT_EQ(address.host, c.host);
    EXPECT_EQ(address.port, c.port);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StationPageAddress,
    ::testing::Values(AddressCase{"127.0.0.1:0", "127.0.0.1", 0, ""},
                      AddressCase{"127.0.0.1:8080", "127.0.0.1", 8080, ""},
                      AddressCase{"[::1]:65535", "::1", 65535, ""},
                      AddressCase{"localhost:1", "localhost", 1, ""},
                      AddressCase{"127.0.0.1", nullptr, 0, "is not HOST:PORT"},
                      AddressCase{"::1:80", nullptr, 0, "in brackets"},
                      AddressCase{":80", nullptr, 0, "names no host"},
                      AddressCase{"[]:80", nullptr, 0, "names no host"},
                      AddressCase{"127.0.0.1:", nullptr, 0, "is not a port number"},
                      AddressCase{"127.0.0.1:65536", nullptr, 0, "is not a port number"},
                      AddressCase{"127.0.0.1:-1", nullptr, 0, "is not a port number"},
                      AddressCase{"127.0.0.1:80x", nullptr, 0, "is not a port number"},
                      AddressCase{"127.0.0.1:0000080", nullptr, 0, "is not a port number"}));

TEST(StationPageLoopback, IsOnlyTheMachineItself)
{
    const std::vector<std::pair<const char*, bool>> hosts = {
        {"127.0.0.1", true},   {"127.1.2.3", true},     {"LocalHost", true},   {"::1", true},
        {"0.0.0.0", false},    {"::", false},           {"192.0.2.7", false},  {"128.0.0.1", false},
        {"127.0.0.256", false}, {"127.0.0", false},     {"127.0.0.1.5", false}, {"127..0.1", false},
        {"localhost.example", false}, {"", false}};
    for (const auto& [host, loopback] : hosts) EXPECT_EQ(tool::IsLoopbackHost(host), loopback) << host;
}

StationView FourSlots(const char* lastResult)
{
    StationView view;
    view.package = "maps/PreDLMap 2026.12";
    for (int i = 1; i <= 4; ++i) {
        SlotView slot;
        slot.card = "/media/card" + std::to_string(i);
        slot.phase = "reading back";
        slot.total = 1536ull << 20;
        slot.done = slot.total;
        slot.result = "good";
        view.slots.push_back(slot);
    }
    view.slots[3].result = lastResult;
    view.good = std::string(lastResult) == "good" ? 4 : 3;
    return view;
}

TEST(StationPageJson, CarriesEveryFieldOfTheView)
{
    StationView view = FourSlots("not good");
    view.stopping = true;
    view.notGood = 1;
    view.slots[3].card = "/media/caf\xE9";
    view.slots[3].phase = "writing";
    view.slots[3].done = 1000;
    view.slots[3].reason = "no room: 1.5 GiB needed";

    const nlohmann::json json = nlohmann::json::parse(tool::StationViewJson(view));
    EXPECT_EQ(json["package"], view.package);
    EXPECT_EQ(json["good"], 3);
    EXPECT_EQ(json["notGood"], 1);
    EXPECT_EQ(json["stopping"], true);
    ASSERT_EQ(json["slots"].size(), 4u);
    const nlohmann::json& last = json["slots"][3];
    EXPECT_EQ(last["card"], "/media/caf\xEF\xBF\xBD"); // not UTF-8: U+FFFD
    EXPECT_EQ(last["phase"], "writing");
    EXPECT_EQ(last["done"], 1000);
    EXPECT_EQ(last["total"], 1536ull << 20);
    EXPECT_EQ(last["doneText"], tool::Size(1000));
    EXPECT_EQ(last["totalText"], "1.5 GiB");
    EXPECT_EQ(last["result"], "not good");
    EXPECT_EQ(last["reason"], "no room: 1.5 GiB needed");
    EXPECT_EQ(json["slots"][0]["result"], "good");
}

TEST(StationPageHtml, CarriesTheViewWhateverTheCardsAreNamed)
{
    for (const char* card : {"/media/card1", "</script><script>alert(1)</script>", "a</b", "<!--"}) {
        StationView view = FourSlots("good");
        view.slots[0].card = card;
        const std::string html = tool::StationPageHtml(tool::StationViewJson(view));
        const std::string open = R"(<script id="view" type="application/json">)";
        const size_t begin = html.find(open);
        ASSERT_NE(begin, std::string::npos);
        const size_t end = html.find("</script>", begin);
        ASSERT_NE(end, std::string::npos);
        const std::string carried = html.substr(begin + open.size(), end - begin - open.size());
        EXPECT_EQ(nlohmann::json::parse(carried, nullptr, false), nlohmann::json::parse(tool::StationViewJson(view)))
            << card;
    }
}

TEST(StationPageFeed, CountsAViewAsNewOnlyWhenItDiffers)
{
    using Next = tool::PageFeed::Next;
    const std::string empty = tool::StationViewJson(StationView{});
    const std::string a = tool::StationViewJson(FourSlots("")), b = tool::StationViewJson(FourSlots("good"));
    // What is published, then what a page that has seen everything before it
    // is sent: the view, or nothing (Quiet).
    const std::vector<std::pair<std::string, Next>> steps = {
        {empty, Next::Quiet}, {a, Next::View}, {a, Next::Quiet}, {b, Next::View},
        {b, Next::Quiet},     {a, Next::View}, {empty, Next::View}};
    tool::PageFeed feed;
    uint64_t seen = ~uint64_t{0};
    std::string json;
    ASSERT_EQ(feed.WaitForNext(&seen, &json, std::chrono::milliseconds(0)), Next::View);
    EXPECT_EQ(json, empty);
    for (const auto& [published, sent] : steps) {
        EXPECT_EQ(feed.Publish(published), sent == Next::View);
        json.clear();
        EXPECT_EQ(feed.WaitForNext(&seen, &json, std::chrono::milliseconds(0)), sent);
        EXPECT_EQ(json, sent == Next::View ? published : "");
        EXPECT_EQ(feed.Current(), published);
    }
    feed.Close();
    EXPECT_EQ(feed.WaitForNext(&seen, &json, std::chrono::hours(1)), Next::Closed);
}

TEST(StationPageStart, RefusesAHostOtherMachinesReachWithoutTheFlag)
{
    for (const char* address : {"0.0.0.0:0", "[::]:0", "192.0.2.7:0"}) {
        tool::StationPage page;
        std::string why;
        EXPECT_FALSE(page.Start(address, false, &why)) << address;
        EXPECT_NE(why.find("not a loopback address"), std::string::npos) << why;
        EXPECT_NE(why.find("--page-any-address"), std::string::npos) << why;
        EXPECT_EQ(page.Port(), 0);
    }
    // With the flag the host is tried: 192.0.2.7 (TEST-NET-1) is no address
    // of this machine, so nothing is opened to the network.
    tool::StationPage page;
    std::string why;
    EXPECT_FALSE(page.Start("192.0.2.7:0", true, &why));
    EXPECT_EQ(why.find("loopback"), std::string::npos) << why;
    EXPECT_EQ(page.Port(), 0);
}

TEST(StationPageStart, RefusesAnAddressThatIsNotHostColonPort)
{
    tool::StationPage page;
    std::string why;
    EXPECT_FALSE(page.Start("8080", false, &why));
    EXPECT_NE(why.find("is not HOST:PORT"), std::string::npos) << why;
}

} // namespace

#if defined(_WIN32)
// Windows builds have no cpp-httplib (tools/CMakeLists.txt); Linux builds
// serve the page, tested in StationPageServedTest.cpp.
TEST(StationPageStart, SaysThisBuildHasNoPage)
{
    tool::StationPage page;
    std::string why;
    EXPECT_FALSE(page.Start("127.0.0.1:0", false, &why));
    EXPECT_NE(why.find("no web page"), std::string::npos) << why;
    EXPECT_EQ(page.Port(), 0);
}
#endif
