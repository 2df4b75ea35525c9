#include "tokenizer/PromptEmphasis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using dravelin::parseEmphasis;
using dravelin::WeightedText;

namespace {

struct Case {
    std::string prompt;
    std::vector<WeightedText> runs;
};

WeightedText breakRun() {
    return {"", 1.0, true};
}

std::string shown(const std::vector<WeightedText>& runs) {
    std::string text;
    for (const WeightedText& run : runs) {
        text += run.chunkBreak ? "[BREAK] " : "[\"" + run.text + "\" " +
                                                  std::to_string(run.weight) + "] ";
    }
    return text;
}

} // namespace

// The examples the syntax is documented with, and the edges of each rule.
TEST(PromptEmphasis, ReadsTheSharedSyntax) {
    const double up = 1.1;
    const double down = 1.0 / 1.1;
    const std::vector<Case> cases = {
        {"an (important) word", {{"an ", 1.0}, {"important", up}, {" word", 1.0}}},
        {"(unbalanced", {{"unbalanced", up}}},
        {"\\(literal\\]", {{"(literal]", 1.0}}},
        {"a (((house:1.3)) [on] a (hill:0.5), sun, (((sky))).",
         {{"a ", 1.0},
          {"house", 1.3 * up * up},
          {" ", up},
          {"on", down * up},
          {" a ", up},
          {"hill", 0.5 * up},
          {", sun, ", up},
          {"sky", up * up * up * up},
          {".", up}}},
        {"((a)) [[b]]", {{"a", up * up}, {" ", 1.0}, {"b", down * down}}},
        {"(a:0.5) (b: 1.8 )", {{"a", 0.5}, {" ", 1.0}, {"b", 1.8}}},
        {"(a (b:2) c)", {{"a ", up}, {"b", 2 * up}, {" c", up}}},
        // Closers with no opener, and colons that close nothing, are text.
        {"a) b] c:d :2) (e:f)", {{"a) b] c:d :2) ", 1.0}, {"e:f", up}}},
        {"(a:1.2.3)", {{"a:1.2.3", up}}},
        {"[unbalanced (both", {{"unbalanced ", down}, {"both", up * down}}},
        // A backslash before anything else is dropped; \\ is one backslash.
        {"a\\b \\\\ c\\", {{"ab \\ c", 1.0}}},
        {"\\((x)\\)", {{"(", 1.0}, {"x", up}, {")", 1.0}}},
        {"a BREAK b", {{"a", 1.0}, breakRun(), {"b", 1.0}}},
        {"BREAK a,BREAK\nb", {{"", 1.0}, breakRun(), {"a,", 1.0}, breakRun(), {"b", 1.0}}},
        {"BREAKFAST break aBREAK", {{"BREAKFAST break aBREAK", 1.0}}},
        {"(a BREAK b)", {{"a", up}, breakRun(), {"b", up}}},
        {"", {{"", 1.0}}},
        {"()", {{"", 1.0}}},
    };
    for (const Case& c : cases) {
        const std::vector<WeightedText> runs = parseEmphasis(c.prompt);
        ASSERT_EQ(runs.size(), c.runs.size()) << c.prompt << " gives " << shown(runs);
        for (size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(runs[i].text, c.runs[i].text) << c.prompt << " gives " << shown(runs);
            EXPECT_DOUBLE_EQ(runs[i].weight, c.runs[i].weight)
                << c.prompt << " gives " << shown(runs);
            EXPECT_EQ(runs[i].chunkBreak, c.runs[i].chunkBreak) << c.prompt;
        }
    }
}
