// The commands' one option parser: each command lists its options in a
// table; "--opt=value" and "--opt value" both work, "--" ends the options,
// and a repeated (unless repeatable) or unknown option is an error that
// names it.
#ifndef PELK_TOOLS_COMMAND_LINE_H
#define PELK_TOOLS_COMMAND_LINE_H

#include <map>
#include <string>
#include <vector>

namespace tool {

struct OptionRule {
    const char* name; // "--force"
    bool takesValue;
    bool repeatable = false; // each value kept, in order (--watch A --watch B)
};

struct ParsedArguments {
    std::map<std::string, std::string> options; // by name; "" for an option without a value
    std::map<std::string, std::vector<std::string>> values; // every value of a repeatable option
    std::vector<std::string> operands;

    bool Has(const char* name) const { return options.count(name) != 0; }
    std::string Value(const char* name) const
    {
        const auto found = options.find(name);
        return found == options.end() ? std::string() : found->second;
    }
    std::vector<std::string> Values(const char* name) const
    {
        const auto found = values.find(name);
        return found == values.end() ? std::vector<std::string>() : found->second;
    }
};

// Parses arguments against table; false with the reason in *error.
bool ParseArguments(const std::vector<std::string>& arguments, const std::vector<OptionRule>& table,
                    ParsedArguments* parsed, std::string* error);

// The arguments before "--": where "--help" asks for help rather than names a file.
std::vector<std::string> OptionPart(const std::vector<std::string>& arguments);

} // namespace tool

#endif
