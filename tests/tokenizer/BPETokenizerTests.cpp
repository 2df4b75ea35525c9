#include "tokenizer/BPETokenizer.h"
#include "tokenizer/ByteLevelEncoding.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>

using dravelin::BPETokenizer;
using dravelin::byteLevelEncoded;
using dravelin::TokenPair;
namespace fs = std::filesystem;

namespace {

using Tokens = std::vector<std::string>;

const std::string kStart = "<|startoftext|>";
const std::string kEnd = "<|endoftext|>";

// A fresh directory under the system's temporary directory, removed with
// everything in it when the test ends.
class TemporaryDirectory {
public:
    TemporaryDirectory() {
        static std::atomic<unsigned> counter{0};
        path_ = fs::temp_directory_path() /
                ("dravelin-tokenizer-" + std::to_string(std::random_device{}()) + "-" +
                 std::to_string(counter++));
        fs::create_directories(path_);
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const fs::path& path() const { return path_; }

    fs::path write(const std::string& name, const std::string& bytes) const {
        const fs::path file = path_ / name;
        std::ofstream(file, std::ios::binary) << bytes;
        return file;
    }

private:
    fs::path path_;
};

// The what() of the expected exception, or a test failure when none is thrown.
template <typename Error, typename Action> std::string messageOf(Action&& action) {
    try {
        action();
    } catch (const Error& error) {
        return error.what();
    }
    ADD_FAILURE() << "No exception was thrown.";
    return {};
}

// Ranks follow the order of the list.
BPETokenizer::MergeRanks ranked(const std::vector<TokenPair>& pairs) {
    BPETokenizer::MergeRanks merges;
    for (size_t i = 0; i < pairs.size(); ++i) {
        merges[pairs[i]] = static_cast<int>(i);
    }
    return merges;
}

// A table small enough to follow by hand: "cat" and "a" merge whole, "dog"
// only as far as "do".
BPETokenizer smallTokenizer(std::string padToken = kEnd) {
    return BPETokenizer(ranked({{"c", "a"}, {"ca", "t</w>"}, {"d", "o"}, {"t", ","}}),
                        {{kStart, 100}, {kEnd, 101}, {"a</w>", 1}, {"cat</w>", 2}, {"do", 3}},
                        std::move(padToken));
}

// The merge loop as plainly as it can be written: merge every occurrence of
// the lowest-ranked adjacent pair until none is ranked.
Tokens referenceEncodeWord(const BPETokenizer& tokenizer, const Tokens& characters) {
    Tokens tokens = characters;
    tokens.back() += "</w>";
    for (;;) {
        std::optional<TokenPair> best;
        int bestRank = 0;
        for (const TokenPair& pair : BPETokenizer::pairs(tokens)) {
            const auto found = tokenizer.merges().find(pair);
            if (found != tokenizer.merges().end() && (!best || found->second < bestRank)) {
                best = pair;
                bestRank = found->second;
            }
        }
        if (!best) {
            return tokens;
        }
        tokens = BPETokenizer::update(tokens, *best);
    }
}

class BPETokenizerFiles : public ::testing::Test {
protected:
    TemporaryDirectory directory;

    BPETokenizer::MergeRanks readMerges(const std::string& bytes) const {
        return BPETokenizer::readMerges(directory.write("merges.txt", bytes));
    }
    BPETokenizer::FileReadError mergeError(const std::string& bytes) const {
        try {
            readMerges(bytes);
        } catch (const BPETokenizer::FileReadError& error) {
            return error;
        }
        ADD_FAILURE() << "The merges were read without error.";
        return BPETokenizer::FileReadError::invalidMergeFileLine(0);
    }
    std::string vocabularyError(const std::string& json) const {
        const fs::path file = directory.write("vocab.json", json);
        const std::string message = messageOf<BPETokenizer::TokenizerFileError>(
            [&] { BPETokenizer::readVocabulary(file); });
        EXPECT_NE(message.find(file.string()), std::string::npos) << message;
        return message;
    }
};

} // namespace

// Merges file.

TEST_F(BPETokenizerFiles, OnlyTheFirstLineIsAHeaderAndRanksCountEveryLine) {
    // A later line that begins with "#" is a pair, as CLIP's "# #</w>" is.
    const auto merges = readMerges("#version: 0.2\na b\n\n  c   d  \n#e f\n");
    EXPECT_EQ(merges,
              (BPETokenizer::MergeRanks{{{"a", "b"}, 1}, {{"c", "d"}, 3}, {{"#e", "f"}, 4}}));
}

TEST_F(BPETokenizerFiles, RepeatedPairTakesItsLastRank) {
    EXPECT_EQ(readMerges("a b\nc d\na b\n").at({"a", "b"}), 2);
}

TEST_F(BPETokenizerFiles, LineWithoutExactlyTwoTokensIsRejectedWithItsNumber) {
    const auto error = mergeError("a b\nc d\n# note\n\ne f g\nh i\n");
    EXPECT_EQ(error.errorCase(), BPETokenizer::FileReadError::Case::invalidMergeFileLine);
    EXPECT_EQ(error.line(), 5);
    const std::string message = error.what();
    EXPECT_NE(message.find("Line 5"), std::string::npos) << message;
    EXPECT_NE(message.find((directory.path() / "merges.txt").string()), std::string::npos)
        << message;

    EXPECT_EQ(mergeError("a\n").line(), 1);
    // Only spaces is not an empty line: it holds no tokens at all.
    EXPECT_EQ(mergeError("a b\n   \n").line(), 2);
}

TEST_F(BPETokenizerFiles, CarriageReturnStaysInTheLastToken) {
    const auto merges = readMerges("a b\r\nc d\r\n");
    EXPECT_EQ(merges, (BPETokenizer::MergeRanks{{{"a", "b\r"}, 0}, {{"c", "d\r"}, 1}}));
    // A blank line of a CRLF file is a lone CR: one token.
    EXPECT_EQ(mergeError("a b\r\n\r\nc d\r\n").line(), 2);
}

TEST_F(BPETokenizerFiles, LastLineWithoutLineEndIsIgnored) {
    EXPECT_EQ(readMerges("a b\nc d"), (BPETokenizer::MergeRanks{{{"a", "b"}, 0}}));
    EXPECT_TRUE(readMerges("a b c").empty());
    EXPECT_TRUE(readMerges("#version: 0.2\n").empty()); // a character-level tokenizer
    // An empty file is a failed download, not a tokenizer.
    const std::string message = messageOf<BPETokenizer::TokenizerFileError>(
        [&] { BPETokenizer::readMerges(directory.write("merges.txt", "")); });
    EXPECT_NE(message.find("is empty"), std::string::npos) << message;
}

TEST_F(BPETokenizerFiles, MalformedUtf8InAMergeBecomesReplacementCharacter) {
    EXPECT_EQ(readMerges("\xff b\n").count({"\xEF\xBF\xBD", "b"}), 1u);
}

TEST_F(BPETokenizerFiles, UnreadableMergesFileIsNamed) {
    const fs::path missing = directory.path() / "missing-merges.txt";
    std::string message =
        messageOf<BPETokenizer::TokenizerFileError>([&] { BPETokenizer::readMerges(missing); });
    EXPECT_NE(message.find(missing.string()), std::string::npos) << message;

    message = messageOf<BPETokenizer::TokenizerFileError>(
        [&] { BPETokenizer::readMerges(directory.path()); });
    EXPECT_NE(message.find(directory.path().string()), std::string::npos) << message;
    EXPECT_NE(message.find("is a directory, not a file"), std::string::npos) << message;

    // Endless or blocking files are refused for what they are, before a read.
    message = messageOf<BPETokenizer::TokenizerFileError>(
        [&] { BPETokenizer::readVocabulary("/dev/zero"); });
    EXPECT_NE(message.find("is a device, not a file"), std::string::npos) << message;
    const fs::path pipe = directory.path() / "pipe";
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    message = messageOf<BPETokenizer::TokenizerFileError>([&] { BPETokenizer::readMerges(pipe); });
    EXPECT_NE(message.find("is a named pipe, not a file"), std::string::npos) << message;
}

// Vocabulary file.

TEST_F(BPETokenizerFiles, VocabularyMapsTokensToIDs) {
    const auto vocabulary = BPETokenizer::readVocabulary(
        directory.write("vocab.json", R"({"a</w>": 0, "\u00e9": 2147483647, "b": 7, "b": 8})"));
    EXPECT_EQ(vocabulary,
              (BPETokenizer::Vocabulary{{"a</w>", 0}, {"\xC3\xA9", 2147483647}, {"b", 8}}));
}

TEST_F(BPETokenizerFiles, VocabularyThatIsNotTokenToIDIsRefused) {
    EXPECT_NE(vocabularyError("[1, 2]").find("not hold a JSON object"), std::string::npos);
    EXPECT_NE(vocabularyError("42").find("not hold a JSON object"), std::string::npos);
    EXPECT_NE(vocabularyError(R"({"a": 1,)").find("not valid JSON"), std::string::npos);
    EXPECT_NE(vocabularyError("").find("not valid JSON"), std::string::npos);
    EXPECT_NE(vocabularyError("{}").find("holds no tokens"), std::string::npos);

    for (const std::string value : {"1.5", "\"1\"", "null", "true", "[1]", "{\"b\": 1}"}) {
        const std::string message = vocabularyError(R"({"ok": 1, "bad key": )" + value + "}");
        EXPECT_NE(message.find("\"bad key\""), std::string::npos) << message;
        EXPECT_NE(message.find("not an integer"), std::string::npos) << message;
    }
    for (const std::string value : {"-1", "2147483648", "18446744073709551615"}) {
        const std::string message = vocabularyError(R"({"bad key": )" + value + "}");
        EXPECT_NE(message.find("\"bad key\" to " + value), std::string::npos) << message;
    }
}

TEST_F(BPETokenizerFiles, MissingVocabularyFileIsNamed) {
    const fs::path missing = directory.path() / "missing-vocab.json";
    const std::string message =
        messageOf<BPETokenizer::TokenizerFileError>([&] { BPETokenizer::readVocabulary(missing); });
    EXPECT_NE(message.find(missing.string()), std::string::npos) << message;
}

// Building from files.

TEST_F(BPETokenizerFiles, BuildsFromFiles) {
    const BPETokenizer tokenizer(
        directory.write("merges.txt", "#v\nc a\nca t</w>\n"),
        directory.write("vocab.json", R"({"cat</w>": 5, "<|endoftext|>": 9})"), kEnd);
    const auto result = tokenizer.tokenize("Cat", 5);
    EXPECT_EQ(result.tokens, (Tokens{kStart, "cat</w>", kEnd, kEnd, kEnd}));
    EXPECT_EQ(result.tokenIDs, (std::vector<int>{9, 5, 9, 9, 9}));
}

TEST_F(BPETokenizerFiles, MergesFileIsReportedBeforeVocabularyFile) {
    const fs::path missing = directory.path() / "missing-merges.txt";
    const fs::path badVocabulary = directory.write("vocab.json", "{}");
    const std::string message = messageOf<BPETokenizer::TokenizerFileError>(
        [&] { BPETokenizer(missing, badVocabulary, kEnd); });
    EXPECT_NE(message.find(missing.string()), std::string::npos) << message;

    EXPECT_THROW(BPETokenizer(directory.write("merges.txt", "a b c\n"), badVocabulary, kEnd),
                 BPETokenizer::FileReadError);
    EXPECT_THROW(BPETokenizer(directory.write("merges.txt", "a b\n"), badVocabulary, kEnd),
                 BPETokenizer::TokenizerFileError);
}

// Prompts to tokens.

TEST(BPETokenizerTokenize, BlankPromptGivesStartAndEndThenPadding) {
    const BPETokenizer tokenizer = smallTokenizer("!");
    for (const std::string prompt : {"", "   ", " \n\r\x0B\x0C \xC2\x85\xE3\x80\x80\xE2\x80\xA8"}) {
        EXPECT_EQ(tokenizer.tokenize(prompt).tokens, (Tokens{kStart, kEnd})) << prompt;
        EXPECT_EQ(tokenizer.tokenize(prompt, 5).tokens, (Tokens{kStart, kEnd, "!", "!", "!"}));
    }
}

TEST(BPETokenizerTokenize, MinCountNeverShortensAndPadsExactly) {
    const BPETokenizer tokenizer = smallTokenizer();
    EXPECT_EQ(tokenizer.tokenize("a cat a", 2).tokens,
              (Tokens{kStart, "a</w>", "cat</w>", "a</w>", kEnd}));
    EXPECT_EQ(tokenizer.tokenize("a", 3).tokens, (Tokens{kStart, "a</w>", kEnd}));
    EXPECT_EQ(tokenizer.tokenize("a", -4).tokens.size(), 3u);

    const auto padded = tokenizer.tokenize("a cat", 77);
    ASSERT_EQ(padded.tokens.size(), 77u);
    ASSERT_EQ(padded.tokenIDs.size(), 77u);
    EXPECT_EQ((std::vector<int>(padded.tokenIDs.begin(), padded.tokenIDs.begin() + 5)),
              (std::vector<int>{100, 1, 2, 101, 101}));
    EXPECT_EQ(padded.tokens.back(), kEnd);
    EXPECT_EQ(padded.tokenIDs.back(), 101);
}

TEST(BPETokenizerTokenize, UnknownTokensTakeTheEndTokenIDOrZero) {
    const auto result = smallTokenizer().tokenize("dog");
    EXPECT_EQ(result.tokens, (Tokens{kStart, "do", "g</w>", kEnd}));
    EXPECT_EQ(result.tokenIDs, (std::vector<int>{100, 3, 101, 101}));

    const BPETokenizer withoutEnd({}, {{"a</w>", 4}}, "!");
    EXPECT_EQ(withoutEnd.tokenize("a b", 5).tokenIDs, (std::vector<int>{0, 4, 0, 0, 0}));
    const BPETokenizer empty({}, {}, "!");
    EXPECT_EQ(empty.tokenize("a").tokenIDs, (std::vector<int>{0, 0, 0}));
}

TEST(BPETokenizerTokenize, CaseAndSurroundingOrRepeatedSpacesDoNotMatter) {
    const BPETokenizer tokenizer = smallTokenizer();
    const Tokens expected = tokenizer.encode("a cat");
    EXPECT_EQ(expected, (Tokens{"a</w>", "cat</w>"}));
    EXPECT_EQ(tokenizer.encode("A  CaT"), expected);
    EXPECT_EQ(tokenizer.encode("\n  a cat \r\n"), expected);
}

TEST(BPETokenizerTokenize, LowerCasingIgnoresTheSystemLocale) {
    // Dotted capital I lower-cases to i plus a combining dot everywhere but in
    // Turkish; the dot is no letter, so it is a word of its own.
    EXPECT_EQ(smallTokenizer().encode("\xC4\xB0"),
              (Tokens{"i</w>", byteLevelEncoded("\xCC"), byteLevelEncoded("\x87") + "</w>"}));
    EXPECT_EQ(smallTokenizer().encode("\xC3\x89"), (Tokens{"\xC3\x83", "\xC2\xA9</w>"}));
}

TEST(BPETokenizerTokenize, PunctuationDigitsAndWhiteSpaceSeparateWords) {
    const BPETokenizer tokenizer = smallTokenizer();
    const auto result = tokenizer.tokenize("a\tcat");
    EXPECT_EQ(result.tokens, (Tokens{kStart, "a</w>", "cat</w>", kEnd}));
    EXPECT_EQ(result.tokenIDs, (std::vector<int>{100, 1, 2, 101}));

    // "t," is in the table but never forms: the comma is a word of its own.
    EXPECT_EQ(tokenizer.encode("cat,dog"), (Tokens{"cat</w>", ",</w>", "do", "g</w>"}));
    EXPECT_EQ(tokenizer.encode("a12"), (Tokens{"a</w>", "1</w>", "2</w>"}));
    // Written in the prompt, the end token is that token.
    EXPECT_EQ(tokenizer.tokenize("a<|endoftext|>").tokenIDs, (std::vector<int>{100, 1, 101, 101}));
}

// Words to tokens.

TEST(BPETokenizerEncodeWord, OneCharacterWordEndsTheWord) {
    EXPECT_EQ(smallTokenizer().encodeWord("x"), (Tokens{"x</w>"}));
    EXPECT_TRUE(smallTokenizer().encodeWord("").empty());
}

TEST(BPETokenizerEncodeWord, StartingTokensAreTheStandInsOfTheBytes) {
    // GPT-2's table: printable ASCII and Latin-1 stand for themselves, the
    // other bytes for U+0100 onwards in byte order.
    EXPECT_EQ(byteLevelEncoded("a ~\n"), "a\xC4\xA0~\xC4\x8A");
    EXPECT_EQ(byteLevelEncoded(std::string("\x00\x7F\xAD\xFF", 4)),
              "\xC4\x80\xC4\xA1\xC5\x83\xC3\xBF");
    const BPETokenizer tokenizer(ranked({{"\xC3\x83", "\xC2\xA9</w>"}}), {}, kEnd);
    EXPECT_EQ(tokenizer.encodeWord("\xC3\xA9"), (Tokens{"\xC3\x83\xC2\xA9</w>"}));
    // A flag is two 4-byte regional indicators: eight starting tokens.
    EXPECT_EQ(tokenizer.encodeWord("\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7").size(), 8u);
    // A decomposed accent is composed first, so it finds the same merge.
    EXPECT_EQ(tokenizer.encode("E\xCC\x81"), (Tokens{"\xC3\x83\xC2\xA9</w>"}));
}

TEST(BPETokenizerEncodeWord, LowestRankMergesFirst) {
    const BPETokenizer bcFirst(ranked({{"b", "c</w>"}, {"a", "b"}}), {}, kEnd);
    EXPECT_EQ(bcFirst.encodeWord("abc"), (Tokens{"a", "bc</w>"}));
    const BPETokenizer abFirst(ranked({{"a", "b"}, {"b", "c</w>"}}), {}, kEnd);
    EXPECT_EQ(abFirst.encodeWord("abc"), (Tokens{"ab", "c</w>"}));
}

TEST(BPETokenizerEncodeWord, EveryOccurrenceMergesBeforeAnyPairItCreates) {
    // (ab, a) ranks before (a, b) but only exists after merging; both "ab"
    // form first, so it never gets the chance.
    const BPETokenizer tokenizer(ranked({{"x", "y"}, {"ab", "a"}, {"a", "b"}, {"ab", "ab"}}), {},
                                 kEnd);
    EXPECT_EQ(tokenizer.encodeWord("ababx"), (Tokens{"abab", "x</w>"}));
    // Overlapping occurrences merge from the left.
    const BPETokenizer repeats(ranked({{"a", "a"}}), {}, kEnd);
    EXPECT_EQ(repeats.encodeWord("aaaaa"), (Tokens{"aa", "aa", "a</w>"}));
}

TEST(BPETokenizerEncodeWord, AgreesWithThePlainMergeLoop) {
    // Tables grown the way training grows them: each merge joins two tokens
    // that exist so far, with distinct ranks.
    std::mt19937 random(1234);
    for (int table = 0; table < 20; ++table) {
        std::vector<std::string> inner = {"a", "b", "c"};
        std::vector<std::string> any = {"a", "b", "c", "a</w>", "b</w>", "c</w>"};
        std::vector<TokenPair> pairs;
        std::set<std::pair<std::string, std::string>> seen;
        while (pairs.size() < 40) {
            const std::string first = inner[random() % inner.size()];
            const std::string second = any[random() % any.size()];
            if (!seen.insert({first, second}).second) {
                continue;
            }
            pairs.push_back({first, second});
            const std::string joined = first + second;
            any.push_back(joined);
            if (joined.find("</w>") == std::string::npos) {
                inner.push_back(joined);
            }
        }
        const BPETokenizer tokenizer(ranked(pairs), {}, kEnd);
        for (int word = 0; word < 200; ++word) {
            Tokens characters(1 + random() % 16);
            for (std::string& character : characters) {
                character = std::string(1, static_cast<char>('a' + random() % 3));
            }
            std::string text;
            for (const std::string& character : characters) {
                text += character;
            }
            ASSERT_EQ(tokenizer.encodeWord(text), referenceEncodeWord(tokenizer, characters))
                << "table " << table << ", word " << text;
        }
    }
}

TEST(BPETokenizerEncodeWord, LongWordMergesCompletely) {
    const BPETokenizer tokenizer(
        ranked({{"a", "a"}, {"aa", "aa"}, {"aaaa", "aaaa"}, {"a", "a</w>"}, {"aa", "a</w>"}}), {},
        kEnd);
    const std::string word(20001, 'a');
    const Tokens tokens = tokenizer.encodeWord(word);
    ASSERT_EQ(tokens.size(), 2501u);
    EXPECT_EQ(tokens.front(), "aaaaaaaa");
    EXPECT_EQ(tokens.back(), "a</w>");
}

TEST(BPETokenizerEncodeWord, ArbitraryBytesAreNeitherLostNorOverrun) {
    // Malformed UTF-8, stray continuation bytes, NULs and lone CRs included.
    std::mt19937 random(99);
    const BPETokenizer tokenizer(ranked({{"\xC3\x83", "\xC2\xA9"}, {"a", "\xC4\xA2"}}), {{kEnd, 7}},
                                 kEnd);
    for (int i = 0; i < 2000; ++i) {
        std::string word(1 + random() % 12, '\0');
        for (char& byte : word) {
            byte = static_cast<char>(random() % 256);
        }
        const Tokens tokens = tokenizer.encodeWord(word);
        std::string joined;
        for (const std::string& token : tokens) {
            joined += token;
        }
        ASSERT_EQ(joined, byteLevelEncoded(word) + "</w>");

        const auto result = tokenizer.tokenize(word, 4);
        ASSERT_GE(result.tokens.size(), 4u);
        ASSERT_EQ(result.tokens.size(), result.tokenIDs.size());
    }
}

// Pairs and merging one pair.

TEST(BPETokenizerUpdate, MergesLeftToRightWithoutOverlap) {
    EXPECT_EQ(BPETokenizer::update({"x", "x", "x"}, {"x", "x"}), (Tokens{"xx", "x"}));
    EXPECT_EQ(BPETokenizer::update({"a", "b", "c", "a", "b"}, {"a", "b"}),
              (Tokens{"ab", "c", "ab"}));
    EXPECT_EQ(BPETokenizer::update({"b", "a", "a", "b"}, {"a", "b"}), (Tokens{"b", "a", "ab"}));
}

TEST(BPETokenizerUpdate, ListWithoutThePairIsUnchanged) {
    EXPECT_EQ(BPETokenizer::update({"a", "c", "a"}, {"a", "b"}), (Tokens{"a", "c", "a"}));
    EXPECT_EQ(BPETokenizer::update({"b", "a"}, {"a", "b"}), (Tokens{"b", "a"}));
    EXPECT_EQ(BPETokenizer::update({"a"}, {"a", "b"}), (Tokens{"a"}));
    EXPECT_TRUE(BPETokenizer::update({}, {"a", "b"}).empty());
}

TEST(BPETokenizerPairs, AdjacentPairsOnce) {
    EXPECT_EQ(BPETokenizer::pairs({"a", "b", "a", "b"}),
              (std::unordered_set<TokenPair, TokenPair::Hash>{{"a", "b"}, {"b", "a"}}));
    EXPECT_TRUE(BPETokenizer::pairs({"a"}).empty());
    EXPECT_TRUE(BPETokenizer::pairs({}).empty());
}

// IDs, tokens and text.

TEST(BPETokenizerLookup, TokenAndIDMapBothWays) {
    const BPETokenizer tokenizer = smallTokenizer();
    EXPECT_EQ(tokenizer.tokenID("cat</w>"), 2);
    EXPECT_EQ(tokenizer.tokenID("cat"), std::nullopt);
    EXPECT_EQ(tokenizer.token(2), "cat</w>");
    EXPECT_EQ(tokenizer.token(101), kEnd);
    EXPECT_EQ(tokenizer.token(-1), std::nullopt);
    EXPECT_EQ(tokenizer.startToken(), kStart);
    EXPECT_EQ(tokenizer.endToken(), kEnd);
    EXPECT_EQ(tokenizer.unknownToken(), kEnd);
}

TEST(BPETokenizerDecode, WordEndsBecomeSpacesAndStartEndVanish) {
    const BPETokenizer tokenizer = smallTokenizer("!");
    EXPECT_EQ(tokenizer.decode({kStart, "a</w>", "cat</w>", kEnd}), "a cat ");
    EXPECT_EQ(tokenizer.decode({kStart, "ca", "t</w>", kEnd, "!", "!"}), "cat !!");
    EXPECT_EQ(tokenizer.decode(smallTokenizer().tokenize("a cat", 10).tokens), "a cat ");
    EXPECT_EQ(tokenizer.decode({}), "");
    // Byte stand-ins become text again; a character cut apart becomes U+FFFD.
    EXPECT_EQ(tokenizer.decode({"caf\xC3\x83\xC2\xA9</w>", "\xC3\xB0\xC5\x81"}),
              "caf\xC3\xA9 \xEF\xBF\xBD");
}

// The CLIP tokenizer files of the model bundles, when the checkout has them.

class BPETokenizerClip : public ::testing::Test {
protected:
    static fs::path directory() {
        return fs::path(__FILE__).parent_path() /
               "../../../shared/tokenizer/clip-vit-large-patch14";
    }
    void SetUp() override {
        if (!fs::exists(directory() / "merges.txt") || !fs::exists(directory() / "vocab.json")) {
            GTEST_SKIP() << "The CLIP tokenizer files are not at " << directory().string();
        }
    }
    BPETokenizer make() const {
        return BPETokenizer(directory() / "merges.txt", directory() / "vocab.json", kEnd);
    }
};

TEST_F(BPETokenizerClip, TokenizesAPromptToTheModelsIDs) {
    const BPETokenizer tokenizer = make();
    const auto result = tokenizer.tokenize("a photo of a cat", 77);
    std::vector<int> expected = {49406, 320, 1125, 539, 320, 2368, 49407};
    expected.resize(77, 49407);
    EXPECT_EQ(result.tokenIDs, expected);
    EXPECT_EQ(result.tokens[2], "photo</w>");
    EXPECT_EQ(tokenizer.tokenize("  A PHOTO of  a cat\n", 77).tokenIDs, expected);
    EXPECT_EQ(tokenizer.decode(result.tokens), "a photo of a cat ");
}

TEST_F(BPETokenizerClip, ReadsTheWholeMergeTable) {
    const BPETokenizer tokenizer = make();
    // The first line is a version comment.
    EXPECT_EQ(tokenizer.merges().at({"i", "n"}), 1);
    // 48,894 pair lines, six of which begin with "#" ("# #</w>" and the like).
    EXPECT_EQ(tokenizer.merges().size(), 48894u);
    EXPECT_EQ(tokenizer.merges().count({"#", "#</w>"}), 1u);
    EXPECT_EQ(tokenizer.token(49406), kStart);
    EXPECT_EQ(tokenizer.tokenID(kEnd), 49407);
}

// Token IDs that CLIP's own tokenizer (transformers' CLIPTokenizer, built from
// these files) gives for prompts as people write them.
TEST_F(BPETokenizerClip, GivesTheIDsOfClipsTokenizer) {
    struct Case {
        std::string prompt;
        std::vector<int> ids;
    };
    const std::vector<Case> cases = {
        {"masterpiece, best quality, 8k, ultra-detailed",
         {49406, 12066, 267, 949, 3027, 267, 279, 330, 267, 8118, 268, 12609, 49407}},
        {"a portrait of a woman, (smiling:1.2), ((blue eyes)), [freckles]",
         {49406, 320,  5352,  539,  320,  2308, 267,  263, 9200,  281, 272,  269,
          273,   2361, 13796, 1746, 3095, 8,    2361, 314, 48036, 316, 49407}},
        {"don't stop believin', it's the cat's pajamas; we'll see, they're here, I'd say",
         {49406, 847, 713,  1691, 4972, 530, 5662, 585, 568, 518, 2368, 568,  37231,
          282,   649, 1342, 862,  267,  889, 982,  763, 267, 328, 1896, 1451, 49407}},
        {"#sunset #beach #nofilter, 4K HDR photo @ 1920x1080",
         {49406, 258, 3424, 258, 2117, 258, 16418, 267, 275, 330, 28065, 1125,
          287,   272, 280,  273, 271,  343, 272,   271, 279, 271, 49407}},
        {"Café crème brûlée in Zürich, señor Ñandú, cafe\u0301",
         {49406, 15304, 1075, 12138, 614, 711,  127, 119,   75,  13489, 530,  89,
          6522,  4021,  267,  43368, 541, 6445, 672, 36019, 267, 15304, 49407}},
        {"🔥🔥 fire emoji ❤️ and a cat 🐱!!",
         {49406, 11771, 1769, 16327, 1752, 537, 320, 2368, 35710, 748, 49407}},
        {"A  PHOTO\tof\na   cat   ", {49406, 320, 1125, 539, 320, 2368, 49407}},
        {"steampunk owl -- trending on artstation, by Greg Rutkowski & Alphonse Mucha",
         {49406, 24130, 9899, 2432, 6087, 525, 1486, 2631, 267, 638, 7943, 14973, 17649, 261, 37865,
          611, 42191, 49407}},
        {"1girl, solo, long_hair, looking_at_viewer, 3D render, 16:9",
         {49406, 272,   1611, 267, 5797, 267,   1538, 318, 2225, 267, 1312, 318,  536,
          318,   15061, 267,  274, 323,  13024, 267,  272, 277,  281, 280,  49407}},
        {"ΟΔΟΣ Ελλάδα, Москва, タワー, 서울",
         {49406, 138,   123, 138,   112,  138, 123,   139, 480,   138,   113,   138,   119,
          138,   119,   138, 105,   138,  112, 138,   365, 267,   38018, 13506, 23669, 27152,
          39813, 27080, 267, 34941, 2429, 107, 30391, 267, 15074, 250,   18541, 372,   49407}},
        {"<|endoftext|> after end", {49406, 49407, 953, 806, 49407}},
    };
    const BPETokenizer tokenizer = make();
    for (const Case& c : cases) {
        EXPECT_EQ(tokenizer.tokenize(c.prompt).tokenIDs, c.ids) << c.prompt;
    }
    const auto result = tokenizer.tokenize("Caf\xC3\xA9 \xF0\x9F\x94\xA5");
    EXPECT_EQ(tokenizer.decode(result.tokens), "caf\xC3\xA9 \xF0\x9F\x94\xA5 ");
}
