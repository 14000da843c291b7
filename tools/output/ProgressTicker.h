// The progress every command shows while it works, in one place: a ticker
// that renders the current view each period, the stderr the view shares
// with the commands' plain lines and the interrupt's report, and the one
// way a duration, a rate and the time left are told.
#ifndef PELK_TOOLS_PROGRESS_TICKER_H
#define PELK_TOOLS_PROGRESS_TICKER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "LiveLines.h"

namespace tool {

// Calls tick on a thread of its own once each period until Stop, which
// joins the thread: no tick runs after Stop returns. With a period of zero
// there is no thread and the ticks are the caller's (Tick), as a test ticks
// by hand rather than by the clock.
class Ticker {
public:
    Ticker(std::chrono::milliseconds period, std::function<void()> tick);
    ~Ticker();
    Ticker(const Ticker&) = delete;
    Ticker& operator=(const Ticker&) = delete;

    void Tick();
    void Stop();

private:
    void Loop();

    const std::chrono::milliseconds period_;
    const std::function<void()> tick_;
    std::mutex ticking_; // one tick at a time, and none once stopped
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::thread thread_; // last: starts once the fields above are set
};

// Stderr while a command shows progress: on a terminal lines redrawn in
// place, elsewhere plain lines; closed for good once the results or the
// interrupt's words own it. Every call may come from any thread.
class ProgressOutput {
public:
    // A terminal when stderr is one.
    ProgressOutput();

    bool Terminal() const { return terminal_; }
    // The columns a line may fill: the last stays free, as a character there
    // makes some terminals wrap; 0 on no terminal.
    static int Columns();
    // On a terminal, lines in place of those shown, each cut to Columns().
    void Show(std::vector<std::string> lines);
    // A plain line. Throttled: only one that differs from the last, and,
    // unless at once, only every kPlainLineEvery.
    void Line(const std::string& line);
    // A plain line on no terminal alone.
    void Plain(const std::string& line);
    void Throttled(const std::string& line, bool atOnce);
    // Nothing more is drawn; clear: the lines shown on the terminal are blanked.
    void Close(bool clear);

private:
    const bool terminal_;
    std::mutex mutex_;
    bool closed_ = false;
    LiveLines lines_;
    std::string plainShown_; // the last throttled line, and when
    std::chrono::steady_clock::time_point plainAt_;
};

// Off a terminal a throttled line is written at most once in this time.
constexpr std::chrono::seconds kPlainLineEvery(5);

// "12:05" or, from an hour, "1:02:05".
std::string Duration(double seconds);
// "4.0 MiB/s ETA 0:12" for done bytes in seconds and left bytes to go;
// empty before a second has passed or a byte was done.
std::string RateText(uint64_t done, double seconds, uint64_t left);

// "SIGINT" for an interrupt's exit code 130, else "SIGTERM".
const char* SignalName(int exitCode);

// How an interrupted command's report begins, on the interrupt's thread:
// its progress closed for good (clear: the terminal's lines blanked), what
// stdout holds flushed, then "pelk-mapcopy: interrupted (SIGINT)" and words
// on stderr.
void SayInterrupted(ProgressOutput* output, bool clear, int exitCode, const std::string& words);

} // namespace tool

#endif
