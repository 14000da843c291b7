// The log a production line keeps: one JSON object a line for every card
// that write, station or check was given, good, refused or interrupted.
#ifndef PELK_TOOLS_LOG_H
#define PELK_TOOLS_LOG_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "ToolPlatform.h"

namespace tool {

struct CardRecord {
    const char* command = "";     // "write", "station", "check"
    std::chrono::system_clock::time_point started, ended;
    std::string typed;            // the card as given, bytes
    std::string shown;            // as the tool shows it, escaped
    std::filesystem::path path;   // absolute, links resolved
    VolumeFacts volume;
    uint64_t clusterBytes = 0;    // 0: not looked at
    std::string packageVersion;   // PreDLVerno.ini's first line; empty when none
    std::string manifestSha256;   // of the manifest's text; empty when none
    uint64_t files = 0, bytes = 0;
    uint16_t packageSum = 0;
    std::string phase;            // the last phase begun
    int code = 0;                 // 0: good
    std::string reason;           // why not good, as the verdict says it
    double seconds = 0, writeSeconds = 0, readSeconds = 0;
    std::vector<std::string> differing; // check: the manifest's paths that differ on the card
};

// 2026-12-09T15:40:19.123Z
std::string IsoUtc(std::chrono::system_clock::time_point when);

// The record as one JSON object and a newline.
std::string LogLine(const CardRecord& record);

// PreDLVerno.ini's first line in the folder (its name in any case), without
// its line end, shown escaped; empty when there is none.
std::string PackageVersion(const std::filesystem::path& packageFolder);

// The log file, opened for appending before any card is touched. Lines
// from several threads are each written whole and flushed as they come.
class CardLog {
public:
    CardLog() = default;
    CardLog(const CardLog&) = delete;
    CardLog& operator=(const CardLog&) = delete;
    ~CardLog();

    bool Open(const std::filesystem::path& file, std::string* why);
    bool IsOpen() const { return file_ != nullptr; }
    void Append(const CardRecord& record); // nothing when not open
    // False when a line could not be written or the file not closed.
    bool Close(std::string* why);

private:
    std::mutex mutex_;
    FILE* file_ = nullptr;
    bool failed_ = false;
};

} // namespace tool

#endif
