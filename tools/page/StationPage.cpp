#include "StationPage.h"

#include <cctype>
#include <nlohmann/json.hpp>

#include "Commands.h"
#include "StationPageServer.h"

namespace tool {

namespace {

// Legible from a few metres: large type, one colour per verdict. Each slot is
// a <section id="slot-N" class="slot"> with data-card, data-phase and
// data-result ("", "good", "not good"); the counts are #good and #not-good.
// The view comes with the page, shown before the page has loaded, then from
// the event stream.
const char kPageBeforeView[] = R"html(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width,initial-scale=1">
<title>pelk-mapcopy station</title>
<style>
body{margin:0;font:20px/1.3 system-ui,sans-serif;background:#111;color:#eee}
header{display:flex;gap:1.5em;align-items:baseline;padding:.5em 1em;background:#222}
#package{flex:1;font-size:1.3em;font-weight:bold;overflow-wrap:anywhere}
.count{font-size:2em;font-weight:bold;white-space:nowrap}
#good{color:#4d4}#not-good{color:#f55}
.banner{display:none;padding:.3em 1em;font-size:1.4em;font-weight:bold;background:#b70;color:#000}
body.stopping #stopping,body.offline #offline{display:block}
main{display:grid;grid-template-columns:repeat(auto-fill,minmax(260px,1fr));gap:.8em;padding:.8em}
.slot{background:#222;border:5px solid #555;border-radius:10px;padding:.7em}
.slot[data-result="good"]{border-color:#4d4;background:#0c3a0c}
.slot[data-result="not good"]{border-color:#f55;background:#4a0c0c}
.card{font-size:1.5em;font-weight:bold;overflow-wrap:anywhere}
.phase{color:#bbb}
.bar{height:1.1em;background:#444;border-radius:5px;overflow:hidden;margin:.4em 0}
.fill{height:100%;background:#39f}
.verdict{font-size:2.4em;font-weight:bold;text-transform:uppercase}
.slot[data-result="good"] .verdict{color:#6f6}
.slot[data-result="not good"] .verdict{font-size:1.6em;color:#f77}
.reason{font-size:1.2em;color:#fcc;overflow-wrap:anywhere}
</style></head><body>
<header><div id="package"></div>
<div class="count"><span id="good">0</span> good</div>
<div class="count"><span id="not-good">0</span> not good</div></header>
<div class="banner" id="stopping">Station stopping</div>
<div class="banner" id="offline">Not connected to the station: this may be out of date</div>
<main id="slots"></main>
<script id="view" type="application/json">)html";
const char kPageAfterView[] = R"html(</script>
<script>
const $ = id => document.getElementById(id);
const parts = ['card', 'phase', 'bar', 'bytes', 'verdict', 'reason'];
function slot(i) {
  let e = $('slot-' + i);
  if (e) return e;
  e = document.createElement('section');
  e.id = 'slot-' + i;
  e.className = 'slot';
  for (const p of parts) e.appendChild(document.createElement('div')).className = p;
  e.querySelector('.bar').appendChild(document.createElement('div')).className = 'fill';
  return $('slots').appendChild(e);
}
function show(v) {
  $('package').textContent = v.package;
  $('good').textContent = v.good;
  $('not-good').textContent = v.notGood;
  document.body.classList.toggle('stopping', v.stopping);
  v.slots.forEach((s, i) => {
    const e = slot(i), part = p => e.querySelector('.' + p);
    Object.assign(e.dataset, {card: s.card, phase: s.phase, result: s.result});
    part('card').textContent = s.card;
    part('phase').textContent = s.phase;
    part('fill').style.width = (s.total ? 100 * s.done / s.total : 0) + '%';
    part('bytes').textContent = s.doneText + ' of ' + s.totalText;
    part('verdict').textContent = s.result == 'good' ? 'remove' : s.result;
    part('reason').textContent = s.reason;
  });
  for (let i = v.slots.length; $('slot-' + i); i++) $('slot-' + i).remove();
}
show(JSON.parse($('view').textContent));
const events = new EventSource('/events');
events.onmessage = m => { document.body.classList.remove('offline'); show(JSON.parse(m.data)); };
events.onerror = () => document.body.classList.add('offline');
</script>
</body></html>
)html";

} // namespace

std::string StationPageHtml(const std::string& viewJson)
{
    // "</" would end the script element early: a card may be named anything.
    std::string escaped;
    for (size_t i = 0; i < viewJson.size(); ++i) {
        escaped += viewJson[i];
        if (viewJson[i] == '<' && i + 1 < viewJson.size() && viewJson[i + 1] == '/') escaped += '\\';
    }
    return kPageBeforeView + escaped + kPageAfterView;
}

std::string StationViewJson(const StationView& view)
{
    nlohmann::json slots = nlohmann::json::array();
    for (const SlotView& slot : view.slots) {
        slots.push_back({{"card", slot.card}, {"phase", slot.phase}, {"done", slot.done}, {"total", slot.total},
                         {"doneText", Size(slot.done)}, {"totalText", Size(slot.total)}, {"result", slot.result},
                         {"reason", slot.reason}});
    }
    const nlohmann::json json = {{"package", view.package}, {"good", view.good}, {"notGood", view.notGood},
                                 {"stopping", view.stopping}, {"slots", slots}};
    // A card's name need not be UTF-8; the page shows U+FFFD for its bad bytes.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

namespace {

bool AllDigits(const std::string& text)
{
    if (text.empty()) return false;
    for (unsigned char c : text) {
        if (!std::isdigit(c)) return false;
    }
    return true;
}

bool IsIpv4Loopback(const std::string& host)
{
    size_t begin = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t end = part < 3 ? host.find('.', begin) : host.size();
        if (end == std::string::npos) return false;
        const std::string number = host.substr(begin, end - begin);
        if (!AllDigits(number) || number.size() > 3 || std::stoi(number) > 255) return false;
        if (part == 0 && std::stoi(number) != 127) return false;
        begin = end + 1;
    }
    return true;
}

std::string ShownHost(const std::string& host)
{
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

} // namespace

bool ParsePageAddress(const std::string& text, PageAddress* address, std::string* why)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        *why = "'" + text + "' is not HOST:PORT, e.g. 127.0.0.1:8080";
        return false;
    }
    std::string host = text.substr(0, colon);
    const std::string port = text.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        *why = "'" + text + "': an IPv6 address is written in brackets, e.g. [::1]:8080";
        return false;
    }
    if (host.empty()) {
        *why = "'" + text + "' names no host, e.g. 127.0.0.1:8080";
        return false;
    }
    if (!AllDigits(port) || port.size() > 5 || std::stoul(port) > 65535) {
        *why = "'" + text + "': '" + port + "' is not a port number (0 to 65535, 0: any free one)";
        return false;
    }
    address->host = host;
    address->port = static_cast<uint16_t>(std::stoul(port));
    return true;
}

bool IsLoopbackHost(const std::string& host)
{
    return UpperAscii(host) == "LOCALHOST" || host == "::1" || IsIpv4Loopback(host);
}

PageFeed::PageFeed() : json_(StationViewJson(StationView{})) {}

bool PageFeed::Publish(std::string json)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (json == json_) return false;
        json_ = std::move(json);
        ++version_;
    }
    changed_.notify_all();
    return true;
}

std::string PageFeed::Current() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return json_;
}

PageFeed::Next PageFeed::WaitForNext(uint64_t* seen, std::string* json, std::chrono::milliseconds quiet)
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, quiet, [&] { return closed_ || version_ != *seen; });
    if (closed_) return Next::Closed;
    if (version_ == *seen) return Next::Quiet;
    *seen = version_;
    *json = json_;
    return Next::View;
}

void PageFeed::Close()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

StationPage::StationPage() : feed_(new PageFeed) {}

StationPage::~StationPage()
{
    Stop();
}

bool StationPage::Start(const std::string& text, bool anyAddress, std::string* why)
{
    if (server_) {
        *why = "the page is served already, at " + Url();
        return false;
    }
    PageAddress address;
    if (!ParsePageAddress(text, &address, why)) return false;
    if (!anyAddress && !IsLoopbackHost(address.host)) {
        *why = "'" + text + "' is not a loopback address: the page would be open to other machines;"
               " --page-any-address allows it";
        return false;
    }
    server_ = ServeStationPage(address, *feed_, why);
    if (!server_) return false;
    address_ = address;
    address_.port = server_->Port();
    return true;
}

uint16_t StationPage::Port() const
{
    return server_ ? server_->Port() : 0;
}

std::string StationPage::Url() const
{
    return "http://" + ShownHost(address_.host) + ":" + std::to_string(Port()) + "/";
}

void StationPage::Publish(const StationView& view)
{
    feed_->Publish(StationViewJson(view));
}

void StationPage::Stop()
{
    feed_->Close();
    if (server_) server_->Stop();
    server_.reset();
}

} // namespace tool
