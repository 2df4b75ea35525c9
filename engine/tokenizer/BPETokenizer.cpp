#include "tokenizer/BPETokenizer.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>

namespace dravelin {

namespace {

constexpr std::string_view kWordEnd = "</w>";

// Trimmed from both ends of a prompt: separators (Zs, Zl, Zp) and the line
// breaks U+000A–U+000D and U+0085. A tab is neither, so it stays.
bool isTrimmed(UChar32 c) {
    return (U_GET_GC_MASK(c) & U_GC_Z_MASK) != 0 || (c >= 0x0A && c <= 0x0D) || c == 0x85;
}

// ICU counts in 32-bit indices; anything longer is refused rather than cut.
void checkLength(std::string_view text) {
    if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        throw std::length_error("Cannot tokenize a text of " + std::to_string(text.size()) +
                                " bytes.");
    }
}

// Splits UTF-8 text into extended grapheme clusters. One ICU iterator serves
// every word of a prompt, since creating one costs far more than using it.
class CharacterSplitter {
public:
    CharacterSplitter() {
        UErrorCode status = U_ZERO_ERROR;
        iterator_.reset(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !iterator_) {
            throw std::runtime_error(std::string("Cannot create a character break iterator (") +
                                     u_errorName(status) + ").");
        }
    }
    ~CharacterSplitter() { utext_close(&text_); }
    CharacterSplitter(const CharacterSplitter&) = delete;
    CharacterSplitter& operator=(const CharacterSplitter&) = delete;

    std::vector<std::string> split(std::string_view word) {
        std::vector<std::string> characters;
        if (word.empty()) {
            return characters;
        }
        UErrorCode status = U_ZERO_ERROR;
        // A UTF-8 UText makes the iterator's boundaries byte offsets into `word`.
        utext_openUTF8(&text_, word.data(), static_cast<int64_t>(word.size()), &status);
        iterator_->setText(&text_, status);
        if (U_FAILURE(status)) {
            throw std::runtime_error(std::string("Cannot split a word into characters (") +
                                     u_errorName(status) + ").");
        }
        size_t start = 0;
        for (int32_t boundary = iterator_->next(); boundary != icu::BreakIterator::DONE;
             boundary = iterator_->next()) {
            const auto end = static_cast<size_t>(boundary);
            if (end <= start || end > word.size()) {
                break;
            }
            characters.emplace_back(word.substr(start, end - start));
            start = end;
        }
        // Only reachable on malformed UTF-8; the rest must not be lost.
        if (start < word.size()) {
            characters.emplace_back(word.substr(start));
        }
        return characters;
    }

private:
    std::unique_ptr<icu::BreakIterator> iterator_;
    UText text_ = UTEXT_INITIALIZER;
};

std::vector<std::string> startingTokens(CharacterSplitter& splitter, std::string_view word) {
    std::vector<std::string> tokens = splitter.split(word);
    if (!tokens.empty()) {
        tokens.back() += kWordEnd;
    }
    return tokens;
}

// Every non-overlapping occurrence, left to right, in one pass.
std::string replaceAll(std::string_view text, std::string_view pattern,
                       std::string_view replacement) {
    std::string result;
    result.reserve(text.size());
    size_t start = 0;
    for (size_t found = text.find(pattern); found != std::string_view::npos;
         found = text.find(pattern, start)) {
        result.append(text, start, found - start);
        result.append(replacement);
        start = found + pattern.size();
    }
    result.append(text, start);
    return result;
}

} // namespace

size_t TokenPair::Hash::combine(std::string_view first, std::string_view second) noexcept {
    const std::hash<std::string_view> hash;
    const size_t h = hash(first);
    return h ^ (hash(second) + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2));
}

BPETokenizer::BPETokenizer(MergeRanks merges, Vocabulary vocabulary, std::string padToken)
    : merges_(std::move(merges)), vocabulary_(std::move(vocabulary)),
      padToken_(std::move(padToken)) {}

const std::string& BPETokenizer::startToken() const {
    static const std::string token = "<|startoftext|>";
    return token;
}

const std::string& BPETokenizer::endToken() const {
    static const std::string token = "<|endoftext|>";
    return token;
}

const std::string& BPETokenizer::unknownToken() const {
    return endToken();
}

BPETokenizer::Tokenization BPETokenizer::tokenize(std::string_view input,
                                                  std::optional<int> minCount) const {
    Tokenization result;
    std::vector<std::string> words = encode(input);
    result.tokens.reserve(words.size() + 2);
    result.tokens.push_back(startToken());
    std::move(words.begin(), words.end(), std::back_inserter(result.tokens));
    result.tokens.push_back(endToken());
    if (minCount && *minCount > 0 && static_cast<size_t>(*minCount) > result.tokens.size()) {
        result.tokens.resize(static_cast<size_t>(*minCount), padToken_);
    }

    const int unknownID = tokenID(unknownToken()).value_or(0);
    result.tokenIDs.reserve(result.tokens.size());
    for (const std::string& token : result.tokens) {
        result.tokenIDs.push_back(tokenID(token).value_or(unknownID));
    }
    return result;
}

std::vector<std::string> BPETokenizer::encode(std::string_view input) const {
    checkLength(input);
    icu::UnicodeString text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(input.data(), static_cast<int32_t>(input.size())));
    int32_t start = 0;
    int32_t end = text.length();
    while (start < end && isTrimmed(text.char32At(start))) {
        start = text.moveIndex32(start, 1);
    }
    while (end > start && isTrimmed(text.char32At(end - 1))) {
        end = text.moveIndex32(end, -1);
    }
    text.retainBetween(start, end);
    text.toLower(icu::Locale::getRoot());
    std::string lowered;
    text.toUTF8String(lowered);

    // ICU's output is well-formed UTF-8, where a 0x20 byte is always U+0020.
    std::vector<std::string> tokens;
    CharacterSplitter splitter;
    const std::string_view all(lowered);
    size_t wordStart = 0;
    while (wordStart < all.size()) {
        size_t wordEnd = all.find(' ', wordStart);
        if (wordEnd == std::string_view::npos) {
            wordEnd = all.size();
        }
        if (wordEnd > wordStart) {
            std::vector<std::string> word =
                applyMerges(startingTokens(splitter, all.substr(wordStart, wordEnd - wordStart)));
            std::move(word.begin(), word.end(), std::back_inserter(tokens));
        }
        wordStart = wordEnd + 1;
    }
    return tokens;
}

std::vector<std::string> BPETokenizer::encodeWord(std::string_view word) const {
    checkLength(word);
    CharacterSplitter splitter;
    return applyMerges(startingTokens(splitter, word));
}

std::optional<int> BPETokenizer::rank(std::string_view first, std::string_view second) const {
    const auto found = merges_.find(std::pair<std::string_view, std::string_view>(first, second));
    if (found == merges_.end()) {
        return std::nullopt;
    }
    return found->second;
}

// Same result as repeatedly merging every occurrence of the lowest-ranked
// adjacent pair, but without rescanning the whole word after each merge: each
// adjacency is looked up once when it appears and waits in a heap ordered by
// rank, then by position. Stale entries are recognised by generation counts.
std::vector<std::string> BPETokenizer::applyMerges(std::vector<std::string> tokens) const {
    const size_t count = tokens.size();
    if (count < 2) {
        return tokens;
    }
    constexpr size_t kNone = std::numeric_limits<size_t>::max();

    struct Candidate {
        int rank;
        size_t left;
        size_t right;
        uint32_t leftGeneration;
        uint32_t rightGeneration;
    };
    // A max-heap ordering that puts the lowest rank, then the leftmost, on top.
    const auto later = [](const Candidate& a, const Candidate& b) {
        return a.rank != b.rank ? a.rank > b.rank : a.left > b.left;
    };

    // A doubly linked list over the starting tokens; a merge keeps the left node.
    std::vector<size_t> next(count);
    std::vector<size_t> previous(count);
    std::vector<uint32_t> generation(count, 0);
    std::vector<bool> alive(count, true);
    for (size_t i = 0; i < count; ++i) {
        next[i] = i + 1 < count ? i + 1 : kNone;
        previous[i] = i > 0 ? i - 1 : kNone;
    }

    std::vector<Candidate> heap;
    const auto consider = [&](size_t left, size_t right) {
        if (const std::optional<int> found = rank(tokens[left], tokens[right])) {
            heap.push_back({*found, left, right, generation[left], generation[right]});
            std::push_heap(heap.begin(), heap.end(), later);
        }
    };
    const auto pop = [&] {
        std::pop_heap(heap.begin(), heap.end(), later);
        const Candidate top = heap.back();
        heap.pop_back();
        return top;
    };
    const auto isCurrent = [&](const Candidate& c) {
        return alive[c.left] && alive[c.right] && next[c.left] == c.right &&
               generation[c.left] == c.leftGeneration && generation[c.right] == c.rightGeneration;
    };

    for (size_t i = 0; i + 1 < count; ++i) {
        consider(i, i + 1);
    }

    std::vector<Candidate> batch;
    std::vector<Candidate> deferred;
    while (!heap.empty()) {
        const Candidate chosen = pop();
        if (!isCurrent(chosen)) {
            continue;
        }
        // All occurrences of the chosen pair merge in one step, before any pair
        // their merging creates, even one of lower rank. Only tables built in
        // memory can give two pairs the same rank; the leftmost pair goes first.
        const std::string first = tokens[chosen.left];
        const std::string second = tokens[chosen.right];
        batch.assign(1, chosen);
        deferred.clear();
        while (!heap.empty() && heap.front().rank == chosen.rank) {
            const Candidate candidate = pop();
            if (!isCurrent(candidate)) {
                continue;
            }
            if (tokens[candidate.left] == first && tokens[candidate.right] == second) {
                batch.push_back(candidate);
            } else {
                deferred.push_back(candidate);
            }
        }
        // The batch is in left-to-right order; an occurrence whose left token
        // was taken by the merge before it is skipped, as in update().
        for (const Candidate& candidate : batch) {
            if (!isCurrent(candidate)) {
                continue;
            }
            const size_t left = candidate.left;
            const size_t right = candidate.right;
            tokens[left] += tokens[right];
            ++generation[left];
            alive[right] = false;
            next[left] = next[right];
            if (next[left] != kNone) {
                previous[next[left]] = left;
            }
            if (previous[left] != kNone) {
                consider(previous[left], left);
            }
            if (next[left] != kNone) {
                consider(left, next[left]);
            }
        }
        for (const Candidate& candidate : deferred) {
            heap.push_back(candidate);
            std::push_heap(heap.begin(), heap.end(), later);
        }
    }

    std::vector<std::string> merged;
    for (size_t i = 0; i != kNone; i = next[i]) {
        merged.push_back(std::move(tokens[i]));
    }
    return merged;
}

std::unordered_set<TokenPair, TokenPair::Hash>
BPETokenizer::pairs(const std::vector<std::string>& tokens) {
    std::unordered_set<TokenPair, TokenPair::Hash> result;
    for (size_t i = 0; i + 1 < tokens.size(); ++i) {
        result.insert(TokenPair{tokens[i], tokens[i + 1]});
    }
    return result;
}

// A list too short to hold the pair comes back unchanged.
std::vector<std::string> BPETokenizer::update(const std::vector<std::string>& tokens,
                                              const TokenPair& pair) {
    std::vector<std::string> result;
    result.reserve(tokens.size());
    size_t position = 0;
    while (position < tokens.size()) {
        const auto found = std::find(tokens.begin() + static_cast<std::ptrdiff_t>(position),
                                     tokens.end(), pair.first);
        if (found == tokens.end()) {
            result.insert(result.end(), tokens.begin() + static_cast<std::ptrdiff_t>(position),
                          tokens.end());
            break;
        }
        const auto match = static_cast<size_t>(found - tokens.begin());
        result.insert(result.end(), tokens.begin() + static_cast<std::ptrdiff_t>(position), found);
        if (match + 1 < tokens.size() && tokens[match + 1] == pair.second) {
            result.push_back(pair.first + pair.second);
            position = match + 2;
        } else {
            result.push_back(pair.first);
            position = match + 1;
        }
    }
    return result;
}

std::optional<int> BPETokenizer::tokenID(const std::string& token) const {
    const auto found = vocabulary_.find(token);
    if (found == vocabulary_.end()) {
        return std::nullopt;
    }
    return found->second;
}

std::optional<std::string> BPETokenizer::token(int id) const {
    for (const auto& [text, value] : vocabulary_) {
        if (value == id) {
            return text;
        }
    }
    return std::nullopt;
}

std::string BPETokenizer::decode(const std::vector<std::string>& tokens) const {
    std::string joined;
    for (const std::string& token : tokens) {
        joined += token;
    }
    std::string text = replaceAll(joined, kWordEnd, " ");
    text = replaceAll(text, startToken(), "");
    return replaceAll(text, endToken(), "");
}

} // namespace dravelin
