#include "nn/blocks/BasicTransformerBlock.h"

#include "nn/compute/AlignedBuffer.h"

namespace dravelin {

namespace {

AttentionWeightNames attentionNames(const std::string& prefix) {
    return {prefix + ".to_q", prefix + ".to_k", prefix + ".to_v", prefix + ".to_out.0"};
}

} // namespace

BasicTransformerBlock::BasicTransformerBlock(const WeightReader& weights, const std::string& prefix,
                                             const TransformerBlockSettings& settings)
    : dim_(settings.dim), length_(settings.length),
      norm1_(weights, prefix + ".norm1", settings.dim, settings.length, settings.epsilon),
      selfAttention_(weights, attentionNames(prefix + ".attn1"),
                     {.dim = settings.dim,
                      .heads = settings.heads,
                      .length = settings.length,
                      .projectionBias = false,
                      .accumulateOutput = true}),
      norm2_(weights, prefix + ".norm2", settings.dim, settings.length, settings.epsilon),
      crossAttention_(weights, attentionNames(prefix + ".attn2"),
                      {settings.dim, settings.heads, settings.length, settings.contextDim,
                       settings.contextLength}),
      norm3_(weights, prefix + ".norm3", settings.dim, settings.length, settings.epsilon),
      feedForward_(weights, prefix + ".ff", settings.dim, 4 * settings.dim, settings.length) {}

void BasicTransformerBlock::declare(WeightList& list, const std::string& prefix,
                                    const TransformerBlockSettings& settings) {
    LayerNorm::declare(list, prefix + ".norm1", settings.dim);
    MultiHeadAttention::declare(list, attentionNames(prefix + ".attn1"), settings.dim, false);
    LayerNorm::declare(list, prefix + ".norm2", settings.dim);
    CrossAttention::declare(list, attentionNames(prefix + ".attn2"), settings.dim,
                            settings.contextDim);
    LayerNorm::declare(list, prefix + ".norm3", settings.dim);
    GegluFeedForward::declare(list, prefix + ".ff", settings.dim, 4 * settings.dim);
}

void BasicTransformerBlock::forward(float* x, const float* keysValues) const {
    // Each norm writes the type its consumer multiplies in.
    AlignedBuffer normalized(static_cast<size_t>(length_ * dim_));
    const Values selfInput(normalized, selfAttention_.inputType());
    norm1_.forward(x, selfInput);
    selfAttention_.forward(selfInput, x);
    const Values crossInput(normalized, crossAttention_.inputType());
    norm2_.forward(x, crossInput);
    crossAttention_.forward(crossInput, keysValues, x);
    const Values feedInput(normalized, feedForward_.inputType());
    norm3_.forward(x, feedInput);
    feedForward_.forward(feedInput, x);
}

} // namespace dravelin
