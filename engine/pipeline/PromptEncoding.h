#pragma once

#include "core/ShapedArray.h"
#include "pipeline/EmbeddingLibrary.h"
#include "pipeline/PipelineOptions.h"
#include "tokenizer/BPETokenizer.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// How a text encoder reads a prompt, from a generation's settings.
struct PromptReading {
    PromptSyntax syntax = PromptSyntax::plain;
    // Hidden state counted from the end; SD 1.x encoders only.
    int clipSkip = 1;
    // Words that stand for embeddings; none when null.
    std::shared_ptr<const EmbeddingLibrary> embeddings;
};

// One chunk of a prompt as a text encoder of `length` positions takes it:
// start token, up to length − 2 tokens, end token, padding.
struct EncoderChunk {
    // Token ids; -1 where an embedding's vector stands.
    std::vector<int> ids;
    // One per position; start, end and padding weigh 1.
    std::vector<float> weights;
    // [1, length, width]: the embeddings' vectors at their positions, zero
    // elsewhere; absent when the chunk holds none.
    std::optional<ShapedArray> tokenEmbeds;

    bool weighted() const;
};

// The chunks of a prompt read with chunks or emphasis: each run weighted by
// its brackets, embeddings of `role` and `width` in place of their names.
std::vector<EncoderChunk> encoderChunks(const std::string& prompt, const PromptReading& reading,
                                        const BPETokenizer& tokenizer, int64_t length,
                                        TextEncoderRole role, int64_t width);

// A chunk's encoding z [1, length, C] with its weights: z·w per position,
// then scaled so that its mean is z's mean again (unchanged where every
// weight is 1, or where the weighted mean is 0).
ShapedArray emphasized(const ShapedArray& encoding, const std::vector<float>& weights);

// Appends `emptyChunk` [1, L, C] to the shorter of two encodings [1, L·k, C]
// until both have as many positions. Throws std::invalid_argument when the
// difference is no whole number of chunks.
void matchChunkCounts(ShapedArray& first, ShapedArray& second, const ShapedArray& emptyChunk);

} // namespace dravelin
