#include "CommandLine.h"

namespace tool {

namespace {

const OptionRule* Lookup(const std::vector<OptionRule>& table, const std::string& name)
{
    for (const OptionRule& rule : table)
        if (name == rule.name) return &rule;
    return nullptr;
}

bool IsOption(const std::string& argument) { return argument.size() > 1 && argument[0] == '-'; }

// One option at arguments[*i]; moves *i past a separate value.
bool TakeOption(const std::vector<std::string>& arguments, size_t* i, const std::vector<OptionRule>& table,
                ParsedArguments* parsed, std::string* error)
{
    const std::string& argument = arguments[*i];
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(0, equals);
    const OptionRule* rule = Lookup(table, name);
    if (!rule) {
        *error = "unknown option '" + name + "'";
        return false;
    }
    if (parsed->Has(rule->name) && !rule->repeatable) {
        *error = "option '" + name + "' given twice";
        return false;
    }
    std::string value;
    if (!rule->takesValue) {
        if (equals != std::string::npos) {
            *error = "option '" + name + "' takes no value";
            return false;
        }
    } else if (equals != std::string::npos) {
        value = argument.substr(equals + 1);
    } else if (*i + 1 < arguments.size()) {
        value = arguments[++*i];
    } else {
        *error = "option '" + name + "' needs a value";
        return false;
    }
    if (rule->takesValue && value.empty()) {
        *error = "option '" + name + "' needs a value";
        return false;
    }
    parsed->options[rule->name] = value;
    if (rule->repeatable) parsed->values[rule->name].push_back(value);
    return true;
}

} // namespace

bool ParseArguments(const std::vector<std::string>& arguments, const std::vector<OptionRule>& table,
                    ParsedArguments* parsed, std::string* error)
{
    bool optionsEnded = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!optionsEnded && argument == "--") optionsEnded = true;
        else if (!optionsEnded && IsOption(argument)) {
            if (!TakeOption(arguments, &i, table, parsed, error)) return false;
        } else {
            parsed->operands.push_back(argument);
        }
    }
    return true;
}

std::vector<std::string> OptionPart(const std::vector<std::string>& arguments)
{
    std::vector<std::string> part;
    for (const std::string& argument : arguments) {
        if (argument == "--") break;
        part.push_back(argument);
    }
    return part;
}

} // namespace tool
