#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace dravelin {

// A run of prompt text with the weight its brackets give it, or a chunk
// break (the word BREAK), which has no text.
struct WeightedText {
    std::string text;
    double weight = 1.0;
    bool chunkBreak = false;

    bool operator==(const WeightedText&) const = default;
};

// Reads the emphasis syntax that prompts shared between generation tools use,
// left to right:
//   (text) multiplies the weight of what it holds by 1.1, [text] divides it by
//   1.1, brackets nest by multiplying, and (text:W) multiplies by W instead;
//   \( \) \[ \] \\ stand for the character itself, a backslash before
//   anything else is dropped; a closer with no opener of its kind open, and
//   any ':' that does not end in a number and ')', is text; the upper-case
//   word BREAK (with the white space around it) ends a chunk; brackets still
//   open at the end apply to everything after them ('(' first, then '[').
// Neighbouring runs of the same weight are joined, since each run is
// tokenized on its own. Never empty: an empty prompt is one empty run.
std::vector<WeightedText> parseEmphasis(std::string_view prompt);

} // namespace dravelin
