#include "tokenizer/PromptEmphasis.h"

#include <cctype>
#include <cstdlib>
#include <optional>

namespace dravelin {

namespace {

constexpr double kRoundFactor = 1.1;
constexpr double kSquareFactor = 1.0 / 1.1;
constexpr std::string_view kBreakWord = "BREAK";

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

// Letters, digits and '_' in ASCII; every byte of a multi-byte character
// counts as part of a word, as most of them are letters.
bool isWordByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 0x80 || std::isalnum(byte) || c == '_';
}

bool isSyntax(char c) {
    return c == '\\' || c == '(' || c == ')' || c == '[' || c == ']' || c == ':';
}

// At `colon`: ':' white space, a number, white space, ')'. The number is a
// sign and digits and dots as written ("1.", ".5"); one that does not read
// as a number ("1.2.3", ".") leaves the ':' as text.
std::optional<std::pair<double, size_t>> weightCloser(std::string_view text, size_t colon) {
    size_t i = colon + 1;
    while (i < text.size() && isSpace(text[i])) {
        ++i;
    }
    const size_t start = i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    const size_t digits = i;
    while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) {
        ++i;
    }
    if (i == digits) {
        return std::nullopt;
    }
    const std::string number(text.substr(start, i - start));
    while (i < text.size() && isSpace(text[i])) {
        ++i;
    }
    if (i >= text.size() || text[i] != ')') {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(number.c_str(), &end);
    if (end != number.c_str() + number.size() ||
        number.find_first_of("0123456789") == std::string::npos) {
        return std::nullopt;
    }
    return std::pair{value, i + 1};
}

// Appends a run of plain text, split at each BREAK that stands as a word of
// its own; the white space around a BREAK goes with it.
void appendText(std::vector<WeightedText>& out, std::string_view run) {
    size_t from = 0;
    size_t search = 0;
    while (true) {
        const size_t found = run.find(kBreakWord, search);
        if (found == std::string_view::npos) {
            break;
        }
        const size_t after = found + kBreakWord.size();
        const bool wordStart = found == 0 || !isWordByte(run[found - 1]);
        const bool wordEnd = after == run.size() || !isWordByte(run[after]);
        if (!wordStart || !wordEnd) {
            search = found + 1;
            continue;
        }
        size_t textEnd = found;
        while (textEnd > from && isSpace(run[textEnd - 1])) {
            --textEnd;
        }
        out.push_back({std::string(run.substr(from, textEnd - from))});
        out.push_back({"", 1.0, true});
        from = after;
        while (from < run.size() && isSpace(run[from])) {
            ++from;
        }
        search = from;
    }
    out.push_back({std::string(run.substr(from))});
}

} // namespace

std::vector<WeightedText> parseEmphasis(std::string_view prompt) {
    std::vector<WeightedText> out;
    std::vector<size_t> round;
    std::vector<size_t> square;
    const auto multiply = [&](size_t from, double factor) {
        for (size_t i = from; i < out.size(); ++i) {
            if (!out[i].chunkBreak) {
                out[i].weight *= factor;
            }
        }
    };
    size_t i = 0;
    while (i < prompt.size()) {
        const char c = prompt[i];
        if (c == '\\') {
            const bool escapes = i + 1 < prompt.size() && (prompt[i + 1] == '(' ||
                                                           prompt[i + 1] == ')' ||
                                                           prompt[i + 1] == '[' ||
                                                           prompt[i + 1] == ']' ||
                                                           prompt[i + 1] == '\\');
            out.push_back({escapes ? std::string(1, prompt[i + 1]) : std::string()});
            i += escapes ? 2 : 1;
        } else if (c == '(') {
            round.push_back(out.size());
            ++i;
        } else if (c == '[') {
            square.push_back(out.size());
            ++i;
        } else if (c == ':') {
            const auto closer = weightCloser(prompt, i);
            if (closer && !round.empty()) {
                multiply(round.back(), closer->first);
                round.pop_back();
                i = closer->second;
            } else if (closer) {
                appendText(out, prompt.substr(i, closer->second - i));
                i = closer->second;
            } else {
                out.push_back({":"});
                ++i;
            }
        } else if (c == ')' && !round.empty()) {
            multiply(round.back(), kRoundFactor);
            round.pop_back();
            ++i;
        } else if (c == ']' && !square.empty()) {
            multiply(square.back(), kSquareFactor);
            square.pop_back();
            ++i;
        } else if (c == ')' || c == ']') {
            out.push_back({std::string(1, c)});
            ++i;
        } else {
            size_t end = i;
            while (end < prompt.size() && !isSyntax(prompt[end])) {
                ++end;
            }
            appendText(out, prompt.substr(i, end - i));
            i = end;
        }
    }
    for (size_t position : round) {
        multiply(position, kRoundFactor);
    }
    for (size_t position : square) {
        multiply(position, kSquareFactor);
    }
    if (out.empty()) {
        out.push_back({});
    }
    std::vector<WeightedText> joined;
    for (WeightedText& run : out) {
        if (!joined.empty() && !run.chunkBreak && !joined.back().chunkBreak &&
            joined.back().weight == run.weight) {
            joined.back().text += run.text;
        } else {
            joined.push_back(std::move(run));
        }
    }
    return joined;
}

} // namespace dravelin
