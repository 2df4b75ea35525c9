#include "options/CommandLineOptions.h"

#include "core/TextExcerpt.h"

#include <algorithm>
#include <stdexcept>

namespace dravelin {

namespace {

// Help starts at this column, or on the next line after a long option.
constexpr size_t kHelpColumn = 26;

const CommandLineOption* find(const OptionTable& table, const std::string& name) {
    for (const CommandLineOption& option : table) {
        if (option.name == name) {
            return &option;
        }
    }
    return nullptr;
}

} // namespace

std::string quotedValue(const std::string& text) {
    std::string quoted(1, '"');
    quoted.append(excerpt(text, 30)).append(1, '"');
    return quoted;
}

void applyCommandLine(const OptionTable& table, const std::vector<std::string>& arguments,
                      const std::function<void(const std::string&)>& positional) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const CommandLineOption* option = find(table, argument);
        if (option == nullptr) {
            if (argument.rfind("--", 0) != 0 && positional) {
                positional(argument);
                continue;
            }
            throw std::invalid_argument(argument.rfind("--", 0) == 0
                                            ? "unknown option " + quotedValue(argument) + "."
                                            : "unexpected argument " + quotedValue(argument) + ".");
        }
        if (option->valueHint.empty()) {
            option->apply("");
            continue;
        }
        if (i + 1 >= arguments.size()) {
            throw std::invalid_argument(argument + " needs a value.");
        }
        option->apply(arguments[++i]);
    }
}

std::string optionsUsage(const OptionTable& table) {
    std::string text;
    for (const CommandLineOption& option : table) {
        std::string head(2, ' ');
        head.append(option.name);
        if (!option.valueHint.empty()) {
            head.append(1, ' ').append(option.valueHint);
        }
        size_t start = 0;
        bool first = true;
        do {
            const size_t end = option.help.find('\n', start);
            const std::string line =
                option.help.substr(start, end == std::string::npos ? end : end - start);
            if (first && head.size() + 2 <= kHelpColumn) {
                text += head + std::string(kHelpColumn - head.size(), ' ') + line + "\n";
            } else {
                if (first) {
                    text += head + "\n";
                }
                text += std::string(kHelpColumn, ' ') + line + "\n";
            }
            first = false;
            start = end == std::string::npos ? end : end + 1;
        } while (start != std::string::npos);
    }
    return text;
}

std::string choiceHint(const std::vector<std::string_view>& names) {
    std::string hint;
    for (const std::string_view name : names) {
        if (!hint.empty()) {
            hint.append(1, '|');
        }
        hint.append(name);
    }
    return hint;
}

size_t chooseName(const std::string& option, const std::string& value,
                  const std::vector<std::string_view>& names) {
    const auto found = std::find(names.begin(), names.end(), value);
    if (found != names.end()) {
        return static_cast<size_t>(found - names.begin());
    }
    std::string list;
    for (size_t i = 0; i < names.size(); ++i) {
        list.append(i == 0 ? "" : i + 1 == names.size() ? " or " : ", ").append(names[i]);
    }
    throw std::invalid_argument(option + " is " + list + ", not " + quotedValue(value) + ".");
}

} // namespace dravelin
