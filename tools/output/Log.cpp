#include "Log.h"

#include <cmath>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Words.h"
#include "Names.h"
#include "Package.h"

namespace fs = std::filesystem;

namespace tool {

namespace {

nlohmann::json Text(const std::string& text)
{
    if (text.empty()) return nullptr;
    return text;
}

nlohmann::json Milliseconds(double seconds)
{
    return std::round(seconds * 1000) / 1000;
}

nlohmann::json Rate(uint64_t bytes, double seconds)
{
    if (seconds <= 0) return nullptr;
    return std::round(static_cast<double>(bytes) / 1e6 / seconds * 10) / 10;
}

std::string HexBytes(const std::string& bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char byte : bytes) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

// UTF-16LE (with its byte-order mark) as UTF-8; units beyond the BMP kept
// as two three-byte sequences is good enough for a version line.
std::string FromUtf16(const std::string& bytes)
{
    std::string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
        const unsigned unit = static_cast<unsigned char>(bytes[i]) | static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (unit < 0x80) {
            text += static_cast<char>(unit);
        } else if (unit < 0x800) {
            text += static_cast<char>(0xC0 | unit >> 6);
            text += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | unit >> 12);
            text += static_cast<char>(0x80 | (unit >> 6 & 0x3F));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return text;
}

} // namespace

std::string IsoUtc(std::chrono::system_clock::time_point when)
{
    const auto since = when.time_since_epoch();
    const time_t seconds = static_cast<time_t>(std::chrono::duration_cast<std::chrono::seconds>(since).count());
    const long millis = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
    struct tm utc = {};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[64];
    snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900, utc.tm_mon + 1,
             utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
    return text;
}

std::string LogLine(const CardRecord& record)
{
    nlohmann::ordered_json line;
    line["command"] = record.command;
    line["started"] = IsoUtc(record.started);
    line["ended"] = IsoUtc(record.ended);
    line["tool_version"] = PELK_VERSION;
    line["card"] = record.shown;
    // A name that is not UTF-8 text is shown escaped, and kept as it is.
    if (EscapedBytes(record.typed) != record.typed) line["card_hex"] = HexBytes(record.typed);
    line["path"] = Shown(record.path);
    line["label"] = Text(record.volume.label);
    line["serial"] = Text(record.volume.serial);
    line["file_system"] = Text(record.volume.fileSystem);
    line["cluster_bytes"] = record.clusterBytes;
    line["package_version"] = Text(record.packageVersion);
    line["manifest_sha256"] = Text(record.manifestSha256);
    line["files"] = record.files;
    line["bytes"] = record.bytes;
    line["package_sum"] = Hex(record.packageSum);
    line["phase"] = record.phase;
    line["result"] = record.code ? "not good" : "good";
    line["code"] = record.code;
    line["reason"] = Text(record.reason);
    line["seconds"] = Milliseconds(record.seconds);
    line["write_mb_s"] = Rate(record.bytes, record.writeSeconds);
    line["read_mb_s"] = Rate(record.bytes, record.readSeconds);
    if (!record.differing.empty()) line["differing"] = record.differing;
    return line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string PackageVersion(const fs::path& packageFolder)
{
    std::error_code error;
    for (fs::directory_iterator entry(packageFolder, error), end; !error && entry != end; entry.increment(error)) {
        if (UpperAscii(entry->path().filename().u8string()) != "PREDLVERNO.INI") continue;
        std::ifstream file(entry->path(), std::ios::binary);
        std::string head(512, '\0');
        file.read(&head[0], static_cast<std::streamsize>(head.size()));
        head.resize(static_cast<size_t>(file.gcount()));
        if (head.compare(0, 2, "\xFF\xFE") == 0) head = FromUtf16(head);
        else if (head.compare(0, 3, "\xEF\xBB\xBF") == 0) head.erase(0, 3);
        head = head.substr(0, head.find_first_of("\r\n"));
        return EscapedBytes(head);
    }
    return std::string();
}

CardLog::~CardLog()
{
    std::string ignored;
    Close(&ignored);
}

bool CardLog::Open(const fs::path& file, std::string* why)
{
#if defined(_WIN32)
    file_ = _wfopen(file.c_str(), L"ab");
#else
    file_ = fopen(file.c_str(), "ab");
#endif
    if (!file_) *why = "cannot append to the log " + Shown(file);
    failed_ = false;
    return file_ != nullptr;
}

void CardLog::Append(const CardRecord& record)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_) return;
    const std::string line = LogLine(record);
    if (fwrite(line.data(), 1, line.size(), file_) != line.size() || fflush(file_) != 0) failed_ = true;
}

bool CardLog::Close(std::string* why)
{
    std::lock_guard<std::mutex> guard(mutex_);
    if (!file_) return true;
    const bool closed = fclose(file_) == 0;
    file_ = nullptr;
    if (closed && !failed_) return true;
    *why = "a line could not be written to the log";
    return false;
}

} // namespace tool
