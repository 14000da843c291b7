// The words and numbers every command shows its results in, and its exit
// codes: one style for counts, sizes, sums and job statuses.
#include <cctype>
#include <cstdio>

#include "JobStatusText.h"
#include "Words.h"

namespace tool {

std::string Grouped(uint64_t count)
{
    std::string digits = std::to_string(count);
    for (int i = static_cast<int>(digits.size()) - 3; i > 0; i -= 3) digits.insert(static_cast<size_t>(i), ",");
    return digits;
}

std::string Plural(uint64_t count, const char* one, const char* many)
{
    return Grouped(count) + " " + (count == 1 ? one : many);
}

// Every size the tool shows, in one style.
std::string Size(uint64_t bytes)
{
    if (bytes < 1024) return Plural(bytes, "byte", "bytes");
    const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

// Sums and checksum numbers: at least four digits, as the 16 bits compared.
std::string Hex(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "%04X", static_cast<unsigned>(value));
    return text;
}

std::string StatusName(int32_t status)
{
    for (const JobStatusText& text : kJobStatusTexts)
        if (text.code == status) return std::to_string(status) + " " + text.name;
    return std::to_string(status) + " UNKNOWN";
}

std::string StatusLine(int32_t status)
{
    for (const JobStatusText& text : kJobStatusTexts)
        if (text.code == status) return std::to_string(status) + " " + text.name + ": " + text.sentence;
    return std::to_string(status) + " UNKNOWN: the module returned a status it does not document";
}

// Why fewer files are summed than copied, or nothing; names each excluded
// file beyond the package root's checksum.ini and PreDLVerno.ini.
std::string NotSummed(uint64_t other, const std::vector<std::string>& belowTheRoot)
{
    if (!other) return std::string();
    std::string lines = Plural(other, "file is", "files are") +
                        " copied but not summed: the device never sums checksum.ini and PreDLVerno.ini\n";
    for (const std::string& extra : belowTheRoot)
        lines += extra + ": not summed, as the device sums no file of that name in any folder\n";
    return lines;
}

std::string UpperAscii(std::string text)
{
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

} // namespace tool
