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

// The convolution's weight [hidden, channels, patch, patch] as the matrix
// [hidden, channels · patch · patch] of a linear layer over flattened patches.
ShapedArray patchMatrix(const SafetyCheckerConfig& config, const WeightReader& weights,
                        const std::string& name) {
    ShapedArray kernel = weights.read(name, patchWeightShape(config));
    return ShapedArray(
        std::move(kernel).takeValues(),
        Shape{config.hiddenSize, config.channels * config.patchSize * config.patchSize});
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
      classEmbedding_(weights.read(prefix + ".embeddings.class_embedding", {config.hiddenSize})),
      positionEmbedding_(weights.read(prefix + ".embeddings.position_embedding.weight",
                                      {config.positions(), config.hiddenSize})),
      patchEmbedding_(patchMatrix(config, weights, prefix + ".embeddings.patch_embedding.weight"),
                      std::nullopt, config.patches()),
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

Matrix ClipVisionTransformer::patchRows(const float* pixels, int64_t height, int64_t width) const {
    const int64_t grid = config_.grid();
    const int64_t size = config_.patchSize;
    Matrix rows(config_.patches(), config_.channels * size * size);
    for (int64_t gy = 0; gy < grid; ++gy) {
        for (int64_t gx = 0; gx < grid; ++gx) {
            float* row = rows.row(gy * grid + gx);
            for (int64_t c = 0; c < config_.channels; ++c) {
                for (int64_t y = 0; y < size; ++y) {
                    const float* source = pixels + (c * height + gy * size + y) * width + gx * size;
                    std::copy_n(source, size, row + (c * size + y) * size);
                }
            }
        }
    }
    return rows;
}

void ClipVisionTransformer::forward(const float* pixels, int64_t height, int64_t width,
                                    float* pooled) const {
    const int64_t hidden = config_.hiddenSize;
    const Matrix patches = patchRows(pixels, height, width);
    Matrix x(config_.positions(), hidden);
    // Row 0 is the class token; the patch embeddings follow in row-major
    // order of the grid.
    std::copy_n(classEmbedding_.data(), hidden, x.row(0));
    patchEmbedding_.forward(patches.data(), x.row(1));
    for (int64_t t = 0; t < config_.positions(); ++t) {
        float* row = x.row(t);
        const float* position = positionEmbedding_.data() + t * hidden;
        for (int64_t i = 0; i < hidden; ++i) {
            row[i] += position[i];
        }
    }
    preNorm_.forward(x.data(), x.data());
    for (const ClipEncoderLayer& layer : layers_) {
        layer.forward(x);
    }
    postNorm_.forward(x.row(0), pooled);
}

} // namespace dravelin
