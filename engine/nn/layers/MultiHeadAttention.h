#pragma once

#include "nn/compute/WeightReader.h"
#include "nn/layers/Linear.h"
#include "nn/layers/ScaledDotProductAttention.h"

#include <cstdint>
#include <string>

namespace dravelin {

// Names of the four projections of an attention layer, each the prefix of a
// ".weight" [dim, dim] and a ".bias" [dim].
struct AttentionWeightNames {
    std::string query;
    std::string key;
    std::string value;
    std::string output;
};

struct MultiHeadAttentionSettings {
    int64_t dim;
    int64_t heads;
    // Positions, fixed when the network is built.
    int64_t length;
    bool causal = false;
    // Whether the query, key and value projections have biases (CLIP's and
    // the VAE's do; the denoising network's do not).
    bool projectionBias = true;
    // Add the result to what the output holds (the residual stream).
    bool accumulateOutput = false;
};

// Multi-head self-attention with its projections (transformers'
// CLIPAttention, diffusers' Attention): queries, keys and values projected
// from the same positions by one fused product, the attention, and the output
// projection, optionally added into a residual stream.
class MultiHeadAttention {
public:
    MultiHeadAttention(const WeightReader& weights, const AttentionWeightNames& names,
                       const MultiHeadAttentionSettings& settings);
    static void declare(WeightList& list, const AttentionWeightNames& names, int64_t dim,
                        bool projectionBias = true);

    int64_t dim() const { return dim_; }
    int64_t length() const { return length_; }

    // What the projections read as they are (they take float32 too).
    ValueType inputType() const { return queryKeyValue_.inputType(); }

    // output (+)= projection(attention(x)); x and output are length × dim.
    void forward(ConstValues x, float* output) const;

private:
    int64_t dim_;
    int64_t length_;
    Linear queryKeyValue_;
    ScaledDotProductAttention attention_;
    Linear output_;
};

} // namespace dravelin
