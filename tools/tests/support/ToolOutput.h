// What the tool's test files share: where the programs they run lie, and
// the tool's output as it wrote it.
#ifndef PELK_TOOL_OUTPUT_H
#define PELK_TOOL_OUTPUT_H

#if defined(_WIN32)
#  include <windows.h>
#endif

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
// Beside this program, as the build puts them.
inline std::filesystem::path BesideThisProgram(const char* name)
{
    wchar_t self[MAX_PATH];
    const DWORD units = GetModuleFileNameW(nullptr, self, MAX_PATH);
    return std::filesystem::path(std::wstring(self, units)).parent_path() / name;
}
#endif

inline std::string Slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// The tool's text output with "\n" line ends: on Windows the C run-time
// writes them as CR LF.
inline std::string Lines(std::string text)
{
#if defined(_WIN32)
    size_t kept = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) text[kept++] = text[i];
    text.resize(kept);
#endif
    return text;
}

// How often part stands in text.
inline size_t Count(const std::string& text, const std::string& part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The error a test's call table injects: an I/O error.
#if defined(_WIN32)
constexpr int kInjected = 1117; // ERROR_IO_DEVICE
#else
constexpr int kInjected = 5; // EIO
#endif

// A --log file's lines, each parsed as the JSON object it must be (a
// line that is none is a discarded value).
inline std::vector<nlohmann::json> LogRecords(const std::filesystem::path& file)
{
    std::vector<nlohmann::json> records;
    std::istringstream lines(Slurp(file));
    for (std::string line; std::getline(lines, line);)
        records.push_back(nlohmann::json::parse(line, nullptr, false));
    return records;
}

#endif
