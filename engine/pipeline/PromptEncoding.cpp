#include "pipeline/PromptEncoding.h"

#include "tokenizer/PromptChunks.h"
#include "tokenizer/PromptEmphasis.h"

#include <algorithm>
#include <stdexcept>

namespace dravelin {

bool EncoderChunk::weighted() const {
    return std::any_of(weights.begin(), weights.end(), [](float w) { return w != 1.0f; });
}

namespace {

// The token ids the tokenizer gives a word such as "<start>" or "<pad>".
int idOf(const BPETokenizer& tokenizer, const std::string& token) {
    const std::optional<int> id = tokenizer.tokenID(token);
    if (!id) {
        throw std::invalid_argument("The tokenizer's vocabulary has no \"" + token + "\" token.");
    }
    return *id;
}

} // namespace

std::vector<EncoderChunk> encoderChunks(const std::string& prompt, const PromptReading& reading,
                                        const BPETokenizer& tokenizer, int64_t length,
                                        TextEncoderRole role, int64_t width) {
    if (length < 3) {
        throw std::invalid_argument("A text encoder of " + std::to_string(length) +
                                    " positions has no room for a prompt chunk.");
    }
    const std::vector<WeightedText> runs = reading.syntax == PromptSyntax::emphasis
                                               ? parseEmphasis(prompt)
                                               : std::vector<WeightedText>{{prompt, 1.0}};
    // The embeddings this encoder can take, as words of its tokenizer.
    std::vector<EmbeddingWord> words;
    std::vector<const ShapedArray*> vectors;
    if (reading.embeddings) {
        for (const EmbeddingLibrary::Embedding& embedding : reading.embeddings->embeddings()) {
            const ShapedArray* found = EmbeddingLibrary::vectorsFor(embedding, role, width);
            std::vector<int> name = promptTokenIDs(tokenizer, embedding.name);
            if (found && !name.empty() && found->shape()[0] <= length - 2) {
                words.push_back({std::move(name), static_cast<int>(found->shape()[0])});
                vectors.push_back(found);
            }
        }
    }
    const int start = idOf(tokenizer, tokenizer.startToken());
    const int end = idOf(tokenizer, tokenizer.endToken());
    const int pad = tokenizer.tokenID(tokenizer.padToken()).value_or(end);

    std::vector<EncoderChunk> chunks;
    for (const PromptChunk& chunk :
         chunkPrompt(runs, tokenizer, words, static_cast<size_t>(length - 2))) {
        EncoderChunk encoder;
        encoder.ids.reserve(static_cast<size_t>(length));
        encoder.ids.push_back(start);
        encoder.ids.insert(encoder.ids.end(), chunk.tokenIDs.begin(), chunk.tokenIDs.end());
        encoder.ids.push_back(end);
        encoder.ids.resize(static_cast<size_t>(length), pad);
        encoder.weights.assign(static_cast<size_t>(length), 1.0f);
        std::copy(chunk.weights.begin(), chunk.weights.end(), encoder.weights.begin() + 1);
        if (!chunk.embeddings.empty()) {
            ShapedArray rows(Shape{1, length, width}, 0.0f);
            for (const PromptChunk::EmbeddingUse& use : chunk.embeddings) {
                const ShapedArray& v = *vectors[use.word];
                // After the start token.
                std::copy_n(v.data(), v.count(),
                            rows.data() + static_cast<int64_t>(use.position + 1) * width);
            }
            encoder.tokenEmbeds = std::move(rows);
        }
        chunks.push_back(std::move(encoder));
    }
    return chunks;
}

ShapedArray emphasized(const ShapedArray& encoding, const std::vector<float>& weights) {
    const Shape& shape = encoding.shape();
    if (shape.size() != 3 || shape[1] != static_cast<int64_t>(weights.size())) {
        throw std::invalid_argument("A chunk's encoding " + describe(shape) + " does not match its " +
                                    std::to_string(weights.size()) + " weights.");
    }
    if (std::all_of(weights.begin(), weights.end(), [](float w) { return w == 1.0f; })) {
        return encoding;
    }
    ShapedArray weighted = encoding;
    const int64_t width = shape[2];
    double before = 0.0;
    double after = 0.0;
    for (int64_t b = 0; b < shape[0]; ++b) {
        for (int64_t p = 0; p < shape[1]; ++p) {
            float* row = weighted.data() + (b * shape[1] + p) * width;
            const float w = weights[static_cast<size_t>(p)];
            for (int64_t c = 0; c < width; ++c) {
                before += row[c];
                row[c] *= w;
                after += row[c];
            }
        }
    }
    // Means over the same count: their ratio is the ratio of the sums.
    if (after == 0.0) {
        return weighted;
    }
    const auto factor = static_cast<float>(before / after);
    for (float& value : weighted.values()) {
        value *= factor;
    }
    return weighted;
}

void matchChunkCounts(ShapedArray& first, ShapedArray& second, const ShapedArray& emptyChunk) {
    if (first.rank() != 3 || second.rank() != 3 || emptyChunk.rank() != 3) {
        throw std::invalid_argument("Prompt encodings must be shaped [1, positions, channels].");
    }
    ShapedArray& shorter = first.shape()[1] < second.shape()[1] ? first : second;
    const ShapedArray& longer = &shorter == &first ? second : first;
    const int64_t missing = longer.shape()[1] - shorter.shape()[1];
    const int64_t chunk = emptyChunk.shape()[1];
    if (missing == 0) {
        return;
    }
    if (chunk < 1 || missing % chunk != 0) {
        throw std::invalid_argument("Prompt encodings of " + std::to_string(first.shape()[1]) +
                                    " and " + std::to_string(second.shape()[1]) +
                                    " positions differ by no whole number of chunks of " +
                                    std::to_string(chunk) + ".");
    }
    std::vector<ShapedArray> parts{shorter};
    for (int64_t i = 0; i < missing / chunk; ++i) {
        parts.push_back(emptyChunk);
    }
    shorter = ShapedArray::concatenate(parts, 1);
}

} // namespace dravelin
