#include "tokenizer/BPETokenizer.h"

#include "tokenizer/ByteLevelEncoding.h"
#include "tokenizer/PromptWords.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <limits>

namespace dravelin {

namespace {

constexpr std::string_view kWordEnd = "</w>";

// One starting token per byte, each the byte's stand-in character.
std::vector<std::string> startingTokens(std::string_view word) {
    std::vector<std::string> tokens = byteLevelCharacters(word);
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
    std::vector<std::string> tokens;
    for (const std::string& word : splitWords(cleanPrompt(input))) {
        // Written in a prompt, the start and end tokens are those tokens.
        if (word == startToken() || word == endToken()) {
            tokens.push_back(word);
            continue;
        }
        std::vector<std::string> merged = applyMerges(startingTokens(word));
        std::move(merged.begin(), merged.end(), std::back_inserter(tokens));
    }
    return tokens;
}

std::vector<std::string> BPETokenizer::encodeWord(std::string_view word) const {
    return applyMerges(startingTokens(word));
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
    return byteLevelDecoded(replaceAll(text, endToken(), ""));
}

} // namespace dravelin
