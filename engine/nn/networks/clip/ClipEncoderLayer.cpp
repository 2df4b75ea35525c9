#include "nn/networks/clip/ClipEncoderLayer.h"

#include "nn/compute/AlignedBuffer.h"

namespace dravelin {

namespace {

AttentionWeightNames attentionNames(const std::string& prefix) {
    return {prefix + ".self_attn.q_proj", prefix + ".self_attn.k_proj",
            prefix + ".self_attn.v_proj", prefix + ".self_attn.out_proj"};
}

} // namespace

ClipEncoderLayer::ClipEncoderLayer(const WeightReader& weights, const std::string& prefix,
                                   const ClipLayerSettings& settings, int64_t length)
    : norm1_(weights, prefix + ".layer_norm1", settings.hiddenSize, length,
             settings.layerNormEpsilon),
      attention_(weights, attentionNames(prefix),
                 {.dim = settings.hiddenSize,
                  .heads = settings.heads,
                  .length = length,
                  .causal = settings.causal,
                  .accumulateOutput = true}),
      norm2_(weights, prefix + ".layer_norm2", settings.hiddenSize, length,
             settings.layerNormEpsilon),
      fc1_(weights, prefix + ".mlp.fc1", settings.hiddenSize, settings.intermediateSize, true,
           length,
           LinearOptions{settings.activation, false, std::nullopt, false,
                         valueTypeFor(weights.precision())}),
      fc2_(weights, prefix + ".mlp.fc2", settings.intermediateSize, settings.hiddenSize, true,
           length, LinearOptions{Activation::identity, true}) {}

void ClipEncoderLayer::declare(WeightList& list, const std::string& prefix,
                               const ClipLayerSettings& settings) {
    LayerNorm::declare(list, prefix + ".layer_norm1", settings.hiddenSize);
    MultiHeadAttention::declare(list, attentionNames(prefix), settings.hiddenSize);
    LayerNorm::declare(list, prefix + ".layer_norm2", settings.hiddenSize);
    Linear::declare(list, prefix + ".mlp.fc1", settings.hiddenSize, settings.intermediateSize,
                    true);
    Linear::declare(list, prefix + ".mlp.fc2", settings.intermediateSize, settings.hiddenSize,
                    true);
}

void ClipEncoderLayer::forward(Matrix& x) const {
    // In bfloat16 the norms and the first product write what the next
    // product reads, so none rounds its input again.
    AlignedBuffer normalized(static_cast<size_t>(x.rows() * x.columns()));
    const Values attentionInput(normalized, attention_.inputType());
    norm1_.forward(x.data(), attentionInput);
    attention_.forward(attentionInput, x.data());
    const Values mlpInput(normalized, fc1_.inputType());
    norm2_.forward(x.data(), mlpInput);
    const ValueType expandedType = fc1_.outputType();
    AlignedBuffer expanded(floatsFor(x.rows() * fc1_.outFeatures(), expandedType));
    fc1_.forward(mlpInput, Values(expanded, expandedType));
    fc2_.forward(Values(expanded, expandedType), x.data());
}

} // namespace dravelin
