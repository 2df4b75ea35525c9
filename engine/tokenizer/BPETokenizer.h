#pragma once

#include <concepts>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace dravelin {

// Two adjacent tokens that a merge may join. It is the key of the merge table,
// so it lives next to the tokenizer that owns that table.
struct TokenPair {
    std::string first;
    std::string second;

    bool operator==(const TokenPair& other) const = default;

    // Lets the merge table be searched with two views, without building strings.
    friend bool operator==(const TokenPair& pair,
                           const std::pair<std::string_view, std::string_view>& view) {
        return pair.first == view.first && pair.second == view.second;
    }

    // Transparent: hashes a TokenPair and a pair of views of the same text alike.
    struct Hash {
        using is_transparent = void;
        size_t operator()(const TokenPair& pair) const noexcept {
            return combine(pair.first, pair.second);
        }
        size_t
        operator()(const std::pair<std::string_view, std::string_view>& view) const noexcept {
            return combine(view.first, view.second);
        }
        static size_t combine(std::string_view first, std::string_view second) noexcept;
    };
};

// Turns a prompt into the tokens and token IDs the text encoder takes, as
// CLIP's own tokenizer does: the prompt is cleaned and split into words
// (PromptWords.h), every byte of a word is replaced by the character that
// stands for it in the vocabulary (ByteLevelEncoding.h), and the word's
// characters are merged with a ranked merge table. Token strings are in that
// byte-level form ("cafÃ©</w>" for "café"); decode() turns
// them back into text.
//
// An immutable value: built once, then copied freely and read from any thread.
class BPETokenizer {
public:
    using MergeRanks = std::unordered_map<TokenPair, int, TokenPair::Hash, std::equal_to<>>;
    using Vocabulary = std::unordered_map<std::string, int>;

    // A malformed merges file. The only case is a line that does not hold
    // exactly two tokens; line() is 1-based.
    class FileReadError : public std::runtime_error {
    public:
        enum class Case { invalidMergeFileLine };

        static FileReadError invalidMergeFileLine(int line, const std::filesystem::path& path = {});

        Case errorCase() const { return case_; }
        int line() const { return line_; }
        // The merges file, when known.
        const std::filesystem::path& path() const { return path_; }

    private:
        FileReadError(Case errorCase, int line, std::filesystem::path path);

        Case case_;
        int line_;
        std::filesystem::path path_;
    };

    // A tokenizer file that cannot be read, or a vocabulary file that is not a
    // non-empty JSON object of token to non-negative 32-bit integer ID.
    class TokenizerFileError : public std::runtime_error {
    public:
        TokenizerFileError(std::filesystem::path path, const std::string& message);

        const std::filesystem::path& path() const { return path_; }

    private:
        std::filesystem::path path_;
    };

    // Tokens and their IDs, index for index.
    struct Tokenization {
        std::vector<std::string> tokens;
        std::vector<int> tokenIDs;
    };

    // From tables already in memory.
    BPETokenizer(MergeRanks merges, Vocabulary vocabulary, std::string padToken);
    // From a merges file and a vocabulary file. Throws TokenizerFileError when a
    // file cannot be read or the vocabulary is unusable, FileReadError for a
    // malformed merges line; the merges file is read, and reported, first.
    // A template only so that braced lists, which cannot deduce it, always
    // mean the tables above.
    template <typename MergesPath, typename VocabularyPath>
    requires std::constructible_from<std::filesystem::path, const MergesPath&> &&
        std::constructible_from<std::filesystem::path, const VocabularyPath&>
        BPETokenizer(const MergesPath& mergesPath, const VocabularyPath& vocabularyPath,
                     std::string padToken)
        // Braces evaluate the arguments in order.
        : BPETokenizer{readMerges(std::filesystem::path(mergesPath)),
                       readVocabulary(std::filesystem::path(vocabularyPath)), std::move(padToken)} {
    }

    // Reads a merges file into pair → rank, the rank being the pair's 0-based
    // line index counting every line. A first line that begins with "#" is the
    // file's header ("#version: 0.2"); every later line is a pair, also one
    // that begins with "#" ("# #</w>"). Empty lines hold no pair. Throws as
    // the file constructor does.
    static MergeRanks readMerges(const std::filesystem::path& path);
    // Reads a vocabulary file into token → ID. Throws TokenizerFileError.
    static Vocabulary readVocabulary(const std::filesystem::path& path);
    // The same from the files' bytes in memory; `path` only names the file
    // in messages.
    static MergeRanks mergesFromBytes(std::string_view bytes, const std::filesystem::path& path);
    static Vocabulary vocabularyFromBytes(std::string_view bytes,
                                          const std::filesystem::path& path);

    // Start token, the prompt's tokens, end token, then padToken up to minCount.
    // A longer list is returned whole. Tokens missing from the vocabulary take
    // the ID of unknownToken, or 0 when that is missing too.
    Tokenization tokenize(std::string_view input, std::optional<int> minCount = std::nullopt) const;
    // The prompt's tokens without start and end token: cleaned, split into
    // words, each word encoded. "<|startoftext|>" and "<|endoftext|>" written
    // in the prompt stay those tokens.
    std::vector<std::string> encode(std::string_view input) const;
    // One word's bytes as they stand (no cleaning or splitting); empty for "".
    std::vector<std::string> encodeWord(std::string_view word) const;

    // Adjacent pairs of a token list.
    static std::unordered_set<TokenPair, TokenPair::Hash>
    pairs(const std::vector<std::string>& tokens);
    // Merges each occurrence of `pair`, left to right without overlaps.
    static std::vector<std::string> update(const std::vector<std::string>& tokens,
                                           const TokenPair& pair);

    std::optional<int> tokenID(const std::string& token) const;
    // The first vocabulary entry with this ID, by a linear search.
    std::optional<std::string> token(int id) const;
    // Joins the tokens, turns each "</w>" into a space, drops start and end
    // tokens and turns byte stand-ins back into text; trailing spaces and pad
    // tokens stay. Bytes of a character cut apart become U+FFFD.
    std::string decode(const std::vector<std::string>& tokens) const;

    const MergeRanks& merges() const { return merges_; }
    const Vocabulary& vocabulary() const { return vocabulary_; }
    const std::string& padToken() const { return padToken_; }
    const std::string& startToken() const;
    const std::string& endToken() const;
    const std::string& unknownToken() const;

private:
    std::optional<int> rank(std::string_view first, std::string_view second) const;
    // Runs the merges on a word's starting tokens until no ranked pair is left.
    std::vector<std::string> applyMerges(std::vector<std::string> tokens) const;

    MergeRanks merges_;
    Vocabulary vocabulary_;
    std::string padToken_;
};

} // namespace dravelin

template <> struct std::hash<dravelin::TokenPair> {
    size_t operator()(const dravelin::TokenPair& pair) const noexcept {
        return dravelin::TokenPair::Hash{}(pair);
    }
};
