#include "tokenizer/PromptWords.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using dravelin::cleanPrompt;
using dravelin::splitWords;

TEST(PromptWords, CleaningUnescapesCollapsesComposesAndLowerCases) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Fish &amp; Chips", "fish & chips"},
        // Unescaped twice, as CLIP does.
        {"&amp;amp; &amp;lt;", "& <"},
        {"it&#39;s &#x1F525;&#X1f525", "it's \xF0\x9F\x94\xA5\xF0\x9F\x94\xA5"},
        // Latin-1 names also count without ";", as the longest that fits.
        {"&copy2024 &eacute;t&eacute; &ampx", "\xC2\xA9"
                                              "2024 \xC3\xA9t\xC3\xA9 &x"},
        {"&nosuch; & &#; &#xZ; a&b", "&nosuch; & &#; &#xz; a&b"},
        // 0x80-0x9F mean Windows-1252; NUL and surrogates are U+FFFD; other
        // controls vanish.
        {"&#150;&#0;&#xD800;&#1;x", "\xE2\x80\x93\xEF\xBF\xBD\xEF\xBF\xBDx"},
        // Runs of any white space, no-break and ideographic spaces included.
        {"\xC2\xA0 A\t\n\xE3\x80\x80"
         "B\x1C\xE2\x80\xA8 c \r\n",
         "a b c"},
        // Composed before anything else; final sigma lower-cases as such.
        {"CAFE\xCC\x81 \xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3",
         "caf\xC3\xA9 \xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82"},
        // Malformed UTF-8 becomes U+FFFD.
        {"a\xFF", "a\xEF\xBF\xBD"},
    };
    for (const auto& [prompt, cleaned] : cases) {
        EXPECT_EQ(cleanPrompt(prompt), cleaned) << prompt;
    }
}

TEST(PromptWords, SplittingFollowsClipsPattern) {
    using Words = std::vector<std::string>;
    const std::vector<std::pair<std::string, Words>> cases = {
        {"masterpiece, 8k,ultra-hd", {"masterpiece", ",", "8", "k", ",", "ultra", "-", "hd"}},
        {"don't we'll i'd they're i've i'm it's",
         {"don", "'t", "we", "'ll", "i", "'d", "they", "'re", "i", "'ve", "i", "'m", "it", "'s"}},
        // Only those endings: any other apostrophe is punctuation, and inside
        // a run of punctuation an ending is not looked for.
        {"rock'n'roll !'s ''s", {"rock", "'", "n", "'", "roll", "!'", "s", "''", "s"}},
        {"((blue eyes)), [x:1.25]",
         {"((", "blue", "eyes", ")),", "[", "x", ":", "1", ".", "2", "5", "]"}},
        {"#tag @me 1920x1080",
         {"#", "tag", "@", "me", "1", "9", "2", "0", "x", "1", "0", "8", "0"}},
        {"<|startoftext|>x y<|endoftext|> z<|endoftext",
         {"<|startoftext|>", "x", "y", "<|endoftext|>", "z", "<|", "endoftext"}},
        // Every number character is a word of its own; a combining mark that
        // was not composed is no letter.
        {"\xC2\xBD\xC2\xB2 a\xCC\x81 \xE3\x82\xBF\xE3\x83\xAF\xE3\x83\xBC",
         {"\xC2\xBD", "\xC2\xB2", "a", "\xCC\x81", "\xE3\x82\xBF\xE3\x83\xAF\xE3\x83\xBC"}},
        {"\xF0\x9F\x94\xA5\xF0\x9F\x94\xA5!! x", {"\xF0\x9F\x94\xA5\xF0\x9F\x94\xA5!!", "x"}},
        {"", {}},
    };
    for (const auto& [cleaned, words] : cases) {
        EXPECT_EQ(splitWords(cleaned), words) << cleaned;
    }
}
