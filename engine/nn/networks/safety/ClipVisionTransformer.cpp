#include "nn/networks/safety/ClipVisionTransformer.h"

#include <algorithm>

namespace dravelin {

namespace {

// Every patch attends to every other and to the class token.
ClipLayerSettings layerSettings(const SafetyCheckerConfig& config) {
    return {.hiddenSize = config.hiddenSize,
            .intermediateSize = config.intermediateSize,
            .heads = config.heads,
            .activation = config.activation,
            .layerNormEpsilon = config.layerNormEpsilon,
            .causal = false};
}

Shape patchWeightShape(const SafetyCheckerConfig& config) {
    return {config.hiddenSize, config.channels, config.patchSize, config.patchSize};
}

} // namespace

void ClipVisionTransformer::declare(WeightList& list, const SafetyCheckerConfig& config,
                                    const std::string& prefix) {
    list.push_back({prefix + ".embeddings.class_embedding", {config.hiddenSize}});
    list.push_back({prefix + ".embeddings.patch_embedding.weight", patchWeightShape(config)});
    list.push_back({prefix + ".embeddings.position_embedding.weight",
                    {config.positions(), config.hiddenSize}});
    // "layrnorm" is transformers' spelling.
    LayerNorm::declare(list, prefix + ".pre_layrnorm", config.hiddenSize);
    for (int64_t i = 0; i < config.layers; ++i) {
        ClipEncoderLayer::declare(list, prefix + ".encoder.layers." + std::to_string(i),
                                  layerSettings(config));
    }
    LayerNorm::declare(list, prefix + ".post_layernorm", config.hiddenSize);
}

ClipVisionTransformer::ClipVisionTransformer(const SafetyCheckerConfig& config,
                                             const WeightReader& weights, const std::string& prefix)
    : config_(config),
      embedding_(weights.read(prefix + ".embeddings.patch_embedding.weight",
                              patchWeightShape(config)),
                 weights.read(prefix + ".embeddings.class_embedding", {config.hiddenSize}),
                 weights.read(prefix + ".embeddings.position_embedding.weight",
                              {config.positions(), config.hiddenSize}),
                 config.grid()),
      preNorm_(weights, prefix + ".pre_layrnorm", config.hiddenSize, config.positions(),
               config.layerNormEpsilon),
      postNorm_(weights, prefix + ".post_layernorm", config.hiddenSize, 1,
                config.layerNormEpsilon) {
    layers_.reserve(static_cast<size_t>(config.layers));
    for (int64_t i = 0; i < config.layers; ++i) {
        layers_.emplace_back(weights, prefix + ".encoder.layers." + std::to_string(i),
                             layerSettings(config), config.positions());
    }
}

void ClipVisionTransformer::forward(const float* pixels, int64_t height, int64_t width,
                                    float* pooled) const {
    Matrix x(config_.positions(), config_.hiddenSize);
    embedding_.forward(pixels, height, width, x.data());
    preNorm_.forward(x.data(), x.data());
    for (const ClipEncoderLayer& layer : layers_) {
        layer.forward(x);
    }
    postNorm_.forward(x.row(0), pooled);
}

} // namespace dravelin
