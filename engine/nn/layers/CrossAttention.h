#pragma once

#include "nn/compute/WeightReader.h"
#include "nn/layers/Linear.h"
#include "nn/layers/MultiHeadAttention.h"
#include "nn/layers/ScaledDotProductAttention.h"

#include <cstdint>

namespace dravelin {

struct CrossAttentionSettings {
    int64_t dim;
    int64_t heads;
    // Positions of the queries, fixed when the network is built.
    int64_t length;
    // Width and positions of what the keys and values come from (the text
    // encoder's states).
    int64_t contextDim;
    int64_t contextLength;
};

// Multi-head attention of a sequence on another one of its own width
// (diffusers' Attention with cross_attention_dim, as the denoising network's
// "attn2"): queries from the sequence, keys and values (one fused product,
// no biases) from the context, and the output projection added into the
// residual stream.
class CrossAttention {
public:
    CrossAttention(const WeightReader& weights, const AttentionWeightNames& names,
                   const CrossAttentionSettings& settings);
    static void declare(WeightList& list, const AttentionWeightNames& names, int64_t dim,
                        int64_t contextDim);

    // Keys and values of one context (contextLength × contextDim) into
    // `keysValues` (contextLength × 2·dim): once per image, reused by every
    // call of forward on that image.
    void projectContext(const float* context, float* keysValues) const;
    // output += projection(attention(x, context)); x and output are
    // length × dim.
    void forward(ConstValues x, const float* keysValues, float* output) const;
    // What the query projection reads as it is (it takes float32 too).
    ValueType inputType() const { return query_.inputType(); }

    int64_t dim() const { return dim_; }
    int64_t contextLength() const { return contextLength_; }

private:
    int64_t dim_;
    int64_t length_;
    int64_t contextLength_;
    Linear query_;
    Linear keyValue_;
    ScaledDotProductAttention attention_;
    Linear output_;
};

} // namespace dravelin
