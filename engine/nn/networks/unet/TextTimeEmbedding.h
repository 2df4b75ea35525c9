#pragma once

#include "nn/compute/WeightReader.h"
#include "nn/layers/Linear.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravelin {

struct TextTimeEmbeddingSettings {
    int64_t textWidth;   // "text_embeds" per image
    int64_t timeIds;     // "time_ids" per image
    int64_t timeIdWidth; // addition_time_embed_dim
    int64_t dim;         // the time embedding's width
    bool flipSinToCos;
    double freqShift;
    int64_t batch;
};

// diffusers' "text_time" addition embedding of the XL networks: every time id
// goes through the sinusoidal embedding of addition_time_embed_dim, the
// results follow the pooled text embedding, and add_embedding's linear_1 →
// SiLU → linear_2 maps them to a vector added to the time embedding.
class TextTimeEmbedding {
public:
    TextTimeEmbedding(const WeightReader& weights, const std::string& prefix,
                      const TextTimeEmbeddingSettings& settings);
    static void declare(WeightList& list, const std::string& prefix, int64_t inputWidth,
                        int64_t dim);

    // textEmbeds: batch × textWidth, timeIds: batch × timeIds → batch × dim.
    std::vector<float> forward(const float* textEmbeds, const float* timeIds) const;

private:
    TextTimeEmbeddingSettings settings_;
    Linear first_;
    Linear second_;
};

} // namespace dravelin
