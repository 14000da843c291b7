#include <cctype>
#include <cstdio>

#include "Commands.h"
#include "JobStatusText.h"
#include "Package.h"
#include "ToolPlatform.h"

namespace tool {

int UsageError(const std::string& message)
{
    fprintf(stderr, "pelk-mapcopy: %s\n%s", message.c_str(), UsageText().c_str());
    return kExitUsage;
}

int Failure(int code, const std::string& message)
{
    fprintf(stderr, "pelk-mapcopy: %s\n", message.c_str());
    return code;
}

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


Stop Parse(const char* command, const std::vector<std::string>& arguments, const std::vector<OptionRule>& table,
           size_t operands, ParsedArguments* parsed)
{
    std::string error;
    if (!ParseArguments(arguments, table, parsed, &error)) return UsageError(std::string(command) + ": " + error);
    if (parsed->operands.size() != operands)
        return UsageError(std::string(command) + (operands ? ": expected one PACKAGE_DIR, got "
                                                           : ": expected no operand, got ") +
                          std::to_string(parsed->operands.size()));
    return std::nullopt;
}


std::string HeldBy(const LockHolder& holder, const std::filesystem::path& shown)
{
    if (holder.self) return "this pelk-mapcopy already holds " + Shown(shown) + " (the same folder named twice)";
    return "another pelk-mapcopy" + (holder.command.empty() ? std::string() : " " + holder.command) +
           (holder.pid ? " (pid " + std::to_string(holder.pid) + ")" : std::string()) + " is using " + Shown(shown) +
           "; run again once it has ended";
}

Stop LockForWriting(const std::filesystem::path& folder, const std::filesystem::path& shown, const char* command,
                    const std::string& cannot, FolderLock** lock)
{
    std::string why;
    LockHolder holder;
    switch (LockFolder(folder, command, lock, &holder, &why)) {
    case LockOutcome::Taken:
        return std::nullopt;
    case LockOutcome::HeldElsewhere:
        return Failure(kExitInUse, HeldBy(holder, shown));
    case LockOutcome::Failed:
        break;
    }
    return Failure(kExitNoInput, cannot + ": " + why);
}

std::string UpperAscii(std::string text)
{
    for (char& c : text) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return text;
}

} // namespace tool
