#pragma once

#include "nn/compute/FeatureMap.h"
#include "nn/layers/GroupNorm.h"
#include "nn/layers/MultiHeadAttention.h"
#include "nn/compute/WeightReader.h"

#include <cstdint>
#include <string>

namespace dravelin {

struct AttentionBlockSettings {
    int64_t channels;
    int64_t headDim;
    int64_t groups;
    float epsilon;
    // The map's size, fixed when the network is built.
    int64_t height;
    int64_t width;
};

// Self-attention over the pixels of a map, as in the middle of the VAE
// (diffusers' Attention with a group norm and a residual connection): the
// pixels, group-normalised, become tokens, attend to each other, and the
// projected result is added back into the map. Reads the projections under
// their current names (to_q, to_k, to_v, to_out.0) or the older ones
// (query, key, value, proj_attn).
class AttentionBlock {
public:
    AttentionBlock(const WeightReader& weights, const std::string& prefix,
                   const AttentionBlockSettings& settings);
    // Declares the group norm only: the projections' names depend on the
    // library version that wrote the file, so they are checked when read.
    static void declare(WeightList& list, const std::string& prefix,
                        const AttentionBlockSettings& settings);

    // Adds the attention to the map in place.
    void forward(FeatureMap& map) const;

private:
    int64_t channels_;
    int64_t positions_;
    GroupNorm norm_;
    MultiHeadAttention attention_;
};

} // namespace dravelin
