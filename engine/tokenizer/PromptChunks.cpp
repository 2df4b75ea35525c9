#include "tokenizer/PromptChunks.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

namespace dravelin {

std::vector<int> promptTokenIDs(const BPETokenizer& tokenizer, const std::string& text) {
    std::vector<int> ids = tokenizer.tokenize(text).tokenIDs;
    // Start and end token.
    return std::vector<int>(ids.begin() + 1, ids.end() - 1);
}

namespace {

// The longest word whose tokens begin at `position`.
std::optional<size_t> wordAt(const std::vector<int>& ids, size_t position,
                             const std::vector<EmbeddingWord>& words) {
    std::optional<size_t> best;
    for (size_t w = 0; w < words.size(); ++w) {
        const std::vector<int>& name = words[w].nameTokenIDs;
        if (name.empty() || name.size() > ids.size() - position ||
            (best && words[*best].nameTokenIDs.size() >= name.size())) {
            continue;
        }
        if (std::equal(name.begin(), name.end(), ids.begin() + static_cast<ptrdiff_t>(position))) {
            best = w;
        }
    }
    return best;
}

class Packer {
public:
    Packer(std::optional<int> comma, size_t chunkTokens)
        : comma_(comma), chunkTokens_(chunkTokens) {}

    void closeChunk() {
        chunks_.push_back(std::move(current_));
        current_ = {};
        lastComma_.reset();
    }

    void addToken(int id, float weight) {
        if (comma_ && id == *comma_) {
            lastComma_ = current_.tokenIDs.size();
        } else if (current_.tokenIDs.size() == chunkTokens_ && lastComma_ &&
                   chunkTokens_ - *lastComma_ <= kCommaBacktrack) {
            moveTailAfterComma();
        }
        if (current_.tokenIDs.size() == chunkTokens_) {
            closeChunk();
        }
        current_.tokenIDs.push_back(id);
        current_.weights.push_back(weight);
    }

    void addEmbedding(size_t word, int vectors, float weight) {
        // A full chunk passes its tail after a comma on, as before a token.
        if (current_.tokenIDs.size() == chunkTokens_ && lastComma_ &&
            chunkTokens_ - *lastComma_ <= kCommaBacktrack) {
            moveTailAfterComma();
        }
        if (current_.tokenIDs.size() + static_cast<size_t>(vectors) > chunkTokens_) {
            closeChunk();
        }
        current_.embeddings.push_back({current_.tokenIDs.size(), word});
        current_.tokenIDs.insert(current_.tokenIDs.end(), static_cast<size_t>(vectors),
                                 kEmbeddingVectorID);
        current_.weights.insert(current_.weights.end(), static_cast<size_t>(vectors), weight);
    }

    std::vector<PromptChunk> finish() {
        if (!current_.tokenIDs.empty() || chunks_.empty()) {
            closeChunk();
        }
        return std::move(chunks_);
    }

private:
    // The tokens after the remembered comma start the next chunk.
    void moveTailAfterComma() {
        const auto cut = static_cast<ptrdiff_t>(*lastComma_ + 1);
        PromptChunk tail;
        tail.tokenIDs.assign(current_.tokenIDs.begin() + cut, current_.tokenIDs.end());
        tail.weights.assign(current_.weights.begin() + cut, current_.weights.end());
        current_.tokenIDs.resize(static_cast<size_t>(cut));
        current_.weights.resize(static_cast<size_t>(cut));
        std::vector<PromptChunk::EmbeddingUse> kept;
        for (const PromptChunk::EmbeddingUse& use : current_.embeddings) {
            if (use.position < static_cast<size_t>(cut)) {
                kept.push_back(use);
            } else {
                tail.embeddings.push_back({use.position - static_cast<size_t>(cut), use.word});
            }
        }
        current_.embeddings = std::move(kept);
        closeChunk();
        current_ = std::move(tail);
    }

    std::optional<int> comma_;
    size_t chunkTokens_;
    std::vector<PromptChunk> chunks_;
    PromptChunk current_;
    std::optional<size_t> lastComma_;
};

} // namespace

std::vector<PromptChunk> chunkPrompt(const std::vector<WeightedText>& runs,
                                     const BPETokenizer& tokenizer,
                                     const std::vector<EmbeddingWord>& words,
                                     size_t chunkTokens) {
    if (chunkTokens < 1) {
        throw std::invalid_argument("A prompt chunk must hold at least one token.");
    }
    for (const EmbeddingWord& word : words) {
        if (word.vectorCount < 1 || static_cast<size_t>(word.vectorCount) > chunkTokens) {
            throw std::invalid_argument("An embedding must have 1 to " +
                                        std::to_string(chunkTokens) + " vectors, not " +
                                        std::to_string(word.vectorCount) + ".");
        }
    }
    Packer packer(tokenizer.tokenID(",</w>"), chunkTokens);
    for (const WeightedText& run : runs) {
        if (run.chunkBreak) {
            packer.closeChunk();
            continue;
        }
        const std::vector<int> ids = promptTokenIDs(tokenizer, run.text);
        const auto weight = static_cast<float>(run.weight);
        size_t position = 0;
        while (position < ids.size()) {
            if (const std::optional<size_t> word = wordAt(ids, position, words)) {
                packer.addEmbedding(*word, words[*word].vectorCount, weight);
                position += words[*word].nameTokenIDs.size();
            } else {
                packer.addToken(ids[position], weight);
                ++position;
            }
        }
    }
    return packer.finish();
}

} // namespace dravelin
