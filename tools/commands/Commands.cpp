// What the commands share: their usage errors and failures, the option
// parser's use, and the one lock a card's writer holds.
#include "Commands.h"
#include "Package.h"

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

} // namespace tool
