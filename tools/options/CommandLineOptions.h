#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace dravelin {

// One row of a tool's option table: the usage text and the parser both come
// from the table, so an option cannot be documented and handled differently.
struct CommandLineOption {
    // "--seed".
    std::string name;
    // What the value looks like in the usage text ("N", "FILE"); empty for a
    // switch, which takes no value.
    std::string valueHint;
    // The help text; "\n" starts a new line of it.
    std::string help;
    // What the option does with its value (empty for a switch). Throws
    // std::invalid_argument with a sentence for a value it cannot use.
    std::function<void(const std::string& value)> apply;
};

using OptionTable = std::vector<CommandLineOption>;

// Applies the arguments in order through their rows. An argument that does
// not start with "--" goes to `positional` when one is given; anything else
// unknown, or an option missing its value, throws std::invalid_argument.
void applyCommandLine(const OptionTable& table, const std::vector<std::string>& arguments,
                      const std::function<void(const std::string&)>& positional = {});

// The table as usage lines: the option and its value, then its help at a
// common column.
std::string optionsUsage(const OptionTable& table);

// "a|b|c", the value hint of a choice among names.
std::string choiceHint(const std::vector<std::string_view>& names);

// The index of `value` among `names`; throws std::invalid_argument saying
// "--option is a, b or c, not "value"." otherwise.
size_t chooseName(const std::string& option, const std::string& value,
                  const std::vector<std::string_view>& names);

// A value as error messages quote it: in double quotes, long ones shortened.
std::string quotedValue(const std::string& text);

} // namespace dravelin
