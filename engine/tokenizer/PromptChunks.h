#pragma once

#include "tokenizer/BPETokenizer.h"
#include "tokenizer/PromptEmphasis.h"

#include <cstddef>
#include <string>
#include <vector>

namespace dravelin {

// A word that stands for a textual-inversion embedding: the tokens its name
// gives as prompt text, replaced by `vectorCount` vectors of its own.
struct EmbeddingWord {
    std::vector<int> nameTokenIDs;
    int vectorCount = 1;
};

// What a chunk holds in place of a token: a token of the vocabulary, or one of
// an embedding's vectors.
inline constexpr int kEmbeddingVectorID = -1;

// Up to 75 tokens of a prompt that the text encoder reads in one pass,
// without the start and end tokens.
struct PromptChunk {
    // Vocabulary ids; kEmbeddingVectorID where an embedding's vector goes.
    std::vector<int> tokenIDs;
    // Per token, from the emphasis of the run it came from.
    std::vector<float> weights;
    // Where each use of an embedding begins and which word of the list it is.
    struct EmbeddingUse {
        size_t position;
        size_t word;
        bool operator==(const EmbeddingUse&) const = default;
    };
    std::vector<EmbeddingUse> embeddings;

    bool operator==(const PromptChunk&) const = default;
};

// The tokens of a chunk, and the number of them that a comma may pull back
// into the next chunk.
inline constexpr size_t kChunkTokens = 75;
inline constexpr size_t kCommaBacktrack = 20;

// Tokenizes each run on its own and packs the tokens into chunks: a full
// chunk whose last comma lies within its last 20 tokens passes the tokens
// after that comma on to the next chunk; a chunk break closes the current
// chunk (even an empty one); an embedding's vectors stay in one chunk. Where
// a run's tokens spell one of `words` (the longest first), that word's vectors
// replace them with the run's weight. An empty prompt is one empty chunk.
// `chunkTokens` is 75 for CLIP's 77 positions (the start and end token take
// the other two). Throws std::invalid_argument for a word of more vectors
// than a chunk holds.
std::vector<PromptChunk> chunkPrompt(const std::vector<WeightedText>& runs,
                                     const BPETokenizer& tokenizer,
                                     const std::vector<EmbeddingWord>& words = {},
                                     size_t chunkTokens = kChunkTokens);

// The tokenizer's ids of text without start and end tokens.
std::vector<int> promptTokenIDs(const BPETokenizer& tokenizer, const std::string& text);

} // namespace dravelin
