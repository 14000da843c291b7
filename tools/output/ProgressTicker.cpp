#include "ProgressTicker.h"

#include <algorithm>
#include <cstdio>

#include "Words.h"
#include "ToolPlatform.h"

namespace tool {

Ticker::Ticker(std::chrono::milliseconds period, std::function<void()> tick) : period_(period), tick_(std::move(tick))
{
    if (period_.count() > 0) thread_ = std::thread([this] { Loop(); });
}

Ticker::~Ticker() { Stop(); }

void Ticker::Tick()
{
    std::lock_guard<std::mutex> ticking(ticking_);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (done_) return;
    }
    tick_();
}

void Ticker::Stop()
{
    {
        std::lock_guard<std::mutex> guard(mutex_);
        done_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    // A tick by hand on another thread ends before Stop returns.
    std::lock_guard<std::mutex> ticking(ticking_);
}

void Ticker::Loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, period_, [this] { return done_; })) {
        lock.unlock();
        Tick();
        lock.lock();
    }
}

ProgressOutput::ProgressOutput() : terminal_(ErrorTerminalColumns() > 0) {}

int ProgressOutput::Columns() { return std::max(ErrorTerminalColumns() - 1, 0); }

void ProgressOutput::Show(std::vector<std::string> lines)
{
    std::lock_guard<std::mutex> guard(mutex_);
    const size_t columns = static_cast<size_t>(Columns());
    if (closed_ || !terminal_ || columns == 0) return;
    for (std::string& line : lines) line = line.substr(0, columns);
    lines_.Show(lines);
    fflush(stderr);
}

void ProgressOutput::Line(const std::string& line)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed_) return;
    fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
}

void ProgressOutput::Plain(const std::string& line)
{
    if (!terminal_) Line(line);
}

void ProgressOutput::Throttled(const std::string& line, bool atOnce)
{
    std::lock_guard<std::mutex> guard(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (closed_ || line == plainShown_ || (!atOnce && now - plainAt_ < kPlainLineEvery)) return;
    fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
    plainShown_ = line;
    plainAt_ = now;
}

void ProgressOutput::Close(bool clear)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed_) return;
    closed_ = true;
    if (clear && terminal_) lines_.Clear();
    fflush(stderr);
}

std::string Duration(double seconds)
{
    const long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600) snprintf(text, sizeof text, "%ld:%02ld:%02ld", whole / 3600, whole / 60 % 60, whole % 60);
    else snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

std::string RateText(uint64_t done, double seconds, uint64_t left)
{
    if (seconds < 1.0 || done == 0) return std::string();
    const double rate = static_cast<double>(done) / seconds;
    return Size(static_cast<uint64_t>(rate)) + "/s ETA " + Duration(static_cast<double>(left) / rate);
}

const char* SignalName(int exitCode) { return exitCode == 130 ? "SIGINT" : "SIGTERM"; }

void SayInterrupted(ProgressOutput* output, bool clear, int exitCode, const std::string& words)
{
    output->Close(clear);
    fflush(stdout);
    fprintf(stderr, "pelk-mapcopy: interrupted (%s)%s\n", SignalName(exitCode), words.c_str());
}

} // namespace tool
