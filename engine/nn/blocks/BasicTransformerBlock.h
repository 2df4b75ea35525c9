#pragma once

#include "nn/layers/CrossAttention.h"
#include "nn/blocks/GegluFeedForward.h"
#include "nn/layers/LayerNorm.h"
#include "nn/layers/MultiHeadAttention.h"
#include "nn/compute/WeightReader.h"

#include <cstdint>
#include <string>

namespace dravelin {

struct TransformerBlockSettings {
    int64_t dim;
    int64_t heads;
    // Tokens, fixed when the network is built.
    int64_t length;
    int64_t contextDim;
    int64_t contextLength;
    float epsilon = 1e-5f;
};

// diffusers' BasicTransformerBlock as the SD 1.x/2.x denoising network has it
// (layer norms, no ada-norm): x += attn1(norm1(x)); x += attn2(norm2(x),
// context); x += ff(norm3(x)). Residual sums are fused into the output
// products.
class BasicTransformerBlock {
public:
    BasicTransformerBlock(const WeightReader& weights, const std::string& prefix,
                          const TransformerBlockSettings& settings);
    static void declare(WeightList& list, const std::string& prefix,
                        const TransformerBlockSettings& settings);

    const CrossAttention& crossAttention() const { return crossAttention_; }

    // x: length × dim, updated in place; `keysValues`: the context projected
    // by crossAttention().projectContext.
    void forward(float* x, const float* keysValues) const;

private:
    int64_t dim_;
    int64_t length_;
    LayerNorm norm1_;
    MultiHeadAttention selfAttention_;
    LayerNorm norm2_;
    CrossAttention crossAttention_;
    LayerNorm norm3_;
    GegluFeedForward feedForward_;
};

} // namespace dravelin
