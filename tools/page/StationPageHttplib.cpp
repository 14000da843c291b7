// The station's page served with cpp-httplib: / the page, /state the view,
// /events the views as server-sent events.
#include <atomic>
#include <csignal>
#include <httplib.h>
#include <thread>

#include "StationPageServer.h"

namespace tool {

namespace {

// Each open page holds a connection, and a thread, for its event stream.
constexpr size_t kConnections = 16;
// A comment on a quiet stream, so that a page that went away frees its thread.
constexpr std::chrono::seconds kQuiet(15);
constexpr uint64_t kNothingSent = ~uint64_t{0};

class HttplibPageServer : public PageServer {
public:
    explicit HttplibPageServer(PageFeed& feed) : feed_(feed) {}
    ~HttplibPageServer() override { Stop(); }

    bool Listen(const PageAddress& address, std::string* why);
    uint16_t Port() const override { return port_; }
    void Stop() override;

private:
    void Route();
    bool SendNext(uint64_t* seen, httplib::DataSink& sink);

    PageFeed& feed_;
    httplib::Server server_;
    std::thread thread_;
    std::atomic<bool> listenEnded_{false};
    uint16_t port_ = 0;
};

bool HttplibPageServer::Listen(const PageAddress& address, std::string* why)
{
    Route();
    server_.new_task_queue = [] { return new httplib::ThreadPool(kConnections); };
    // Not httplib's SO_REUSEPORT, with which a second station would share
    // the port and the pages of both.
    server_.set_socket_options([](socket_t socket) {
        int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    int port = address.port;
    if (port == 0) {
        port = server_.bind_to_any_port(address.host);
    } else if (!server_.bind_to_port(address.host, port)) {
        port = -1;
    }
    if (port <= 0) {
        const bool ipv6 = address.host.find(':') != std::string::npos;
        *why = "cannot listen on " + (ipv6 ? "[" + address.host + "]" : address.host) + ":" +
               std::to_string(address.port) +
               " (the port is in use, or the host is no address of this machine)";
        return false;
    }
    port_ = static_cast<uint16_t>(port);
    thread_ = std::thread([this] {
        server_.listen_after_bind();
        listenEnded_ = true;
    });
    // httplib's stop() does nothing before the listening loop has begun.
    while (!server_.is_running() && !listenEnded_) std::this_thread::yield();
    return true;
}

void HttplibPageServer::Stop()
{
    if (!thread_.joinable()) return;
    server_.stop();
    thread_.join();
}

void HttplibPageServer::Route()
{
    server_.Get("/", [this](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(StationPageHtml(feed_.Current()), "text/html; charset=utf-8");
    });
    server_.Get("/state", [this](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(feed_.Current(), "application/json");
    });
    server_.Get("/events", [this](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        auto seen = std::make_shared<uint64_t>(kNothingSent);
        response.set_chunked_content_provider("text/event-stream", [this, seen](size_t, httplib::DataSink& sink) {
            return SendNext(seen.get(), sink);
        });
    });
}

// False ends the connection: the page went away.
bool HttplibPageServer::SendNext(uint64_t* seen, httplib::DataSink& sink)
{
    std::string json;
    switch (feed_.WaitForNext(seen, &json, kQuiet)) {
    case PageFeed::Next::Closed:
        sink.done();
        return true;
    case PageFeed::Next::Quiet:
        return sink.write(":\n\n", 3);
    case PageFeed::Next::View:
        break;
    }
    const std::string event = "id: " + std::to_string(*seen) + "\ndata: " + json + "\n\n";
    return sink.write(event.data(), event.size());
}

} // namespace

std::unique_ptr<PageServer> ServeStationPage(const PageAddress& address, PageFeed& feed, std::string* why)
{
    // A page closed while its stream is written must not end the station:
    // httplib sends without MSG_NOSIGNAL. Its library ignores SIGPIPE too,
    // but only as a side effect of a call of its own.
    std::signal(SIGPIPE, SIG_IGN);
    auto server = std::make_unique<HttplibPageServer>(feed);
    if (!server->Listen(address, why)) return nullptr;
    return server;
}

} // namespace tool
