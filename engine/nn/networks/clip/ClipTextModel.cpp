#include "nn/networks/clip/ClipTextModel.h"

#include "nn/compute/ComputeContext.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace dravelin {

namespace {

const std::string kEmbeddings = "text_model.embeddings";

// The end token id of configurations written before transformers recorded
// the real one.
constexpr int64_t kLegacyEndTokenId = 2;

// Text attends only to the tokens before it.
ClipLayerSettings layerSettings(const ClipTextConfig& config) {
    return {.hiddenSize = config.hiddenSize,
            .intermediateSize = config.intermediateSize,
            .heads = config.heads,
            .activation = config.activation,
            .layerNormEpsilon = config.layerNormEpsilon,
            .causal = true};
}

} // namespace

WeightList ClipTextModel::weights(const ClipTextConfig& config, bool projected) {
    WeightList list;
    list.push_back(
        {kEmbeddings + ".token_embedding.weight", {config.vocabSize, config.hiddenSize}});
    list.push_back(
        {kEmbeddings + ".position_embedding.weight", {config.maxPositions, config.hiddenSize}});
    for (int64_t i = 0; i < config.layers; ++i) {
        ClipEncoderLayer::declare(list, "text_model.encoder.layers." + std::to_string(i),
                                  layerSettings(config));
    }
    LayerNorm::declare(list, "text_model.final_layer_norm", config.hiddenSize);
    if (projected) {
        Linear::declare(list, "text_projection", config.hiddenSize, config.projectionDim, false);
    }
    return list;
}

ClipTextModel::ClipTextModel(const ClipTextConfig& config, const WeightReader& weights,
                             int64_t length, bool projected)
    : config_(config), length_(length),
      embedding_(weights.read(kEmbeddings + ".token_embedding.weight",
                              {config.vocabSize, config.hiddenSize}),
                 weights.read(kEmbeddings + ".position_embedding.weight",
                              {config.maxPositions, config.hiddenSize})),
      finalNorm_(weights, "text_model.final_layer_norm", config.hiddenSize, length,
                 config.layerNormEpsilon) {
    if (length < 1 || length > config.maxPositions) {
        throw std::invalid_argument("The input \"input_ids\" must hold 1 to " +
                                    std::to_string(config.maxPositions) + " tokens, not " +
                                    std::to_string(length) + ".");
    }
    layers_.reserve(static_cast<size_t>(config.layers));
    for (int64_t i = 0; i < config.layers; ++i) {
        layers_.emplace_back(weights, "text_model.encoder.layers." + std::to_string(i),
                             layerSettings(config), length);
    }
    if (projected) {
        projection_.emplace(weights, "text_projection", config.hiddenSize, config.projectionDim,
                            false, 1);
    }
}

Matrix ClipTextModel::embed(const float* ids, const float* tokenRows) const {
    Matrix x(length_, config_.hiddenSize);
    embedding_.forward(ids, length_, tokenRows, x.data(), "input_ids");
    return x;
}

int64_t ClipTextModel::pooledPosition(const float* ids) const {
    if (config_.endTokenId == kLegacyEndTokenId) {
        return std::max_element(ids, ids + length_) - ids;
    }
    const float* found = std::find(ids, ids + length_, static_cast<float>(config_.endTokenId));
    return found == ids + length_ ? 0 : found - ids;
}

int64_t ClipTextModel::clipSkip(const FeatureProvider& inputs) const {
    const auto found = inputs.featureValueDictionary.find("clip_skip");
    if (found == inputs.featureValueDictionary.end()) {
        return 1;
    }
    const float n = found->second.count() == 1 ? found->second.data()[0] : 0.0f;
    const auto layers = static_cast<int64_t>(layers_.size());
    if (!(n >= 1.0f && n <= static_cast<float>(layers)) || std::floor(n) != n) {
        throw std::invalid_argument("Clip skip must be a whole number from 1 to " +
                                    std::to_string(layers) + " for this text encoder, not " +
                                    std::to_string(n) + ".");
    }
    return static_cast<int64_t>(n);
}

FeatureValueDictionary ClipTextModel::predict(const FeatureProvider& inputs) {
    ComputeThreadsScope threads;
    const ShapedArray& ids = inputs.featureValue("input_ids");
    if (ids.rank() != 2 || ids.shape()[1] != length_) {
        throw std::invalid_argument("The text encoder takes \"input_ids\" of shape [batch, " +
                                    std::to_string(length_) + "], not " + describe(ids.shape()) +
                                    ".");
    }
    const int64_t batch = ids.shape()[0];
    const int64_t width = config_.hiddenSize;
    const int64_t pooledWidth = projection_ ? config_.projectionDim : width;
    ShapedArray lastHidden(Shape{batch, length_, width});
    ShapedArray hiddenEmbeds(Shape{batch, length_, width});
    ShapedArray pooled(Shape{batch, pooledWidth});
    const auto tokens = inputs.featureValueDictionary.find("token_embeds");
    const ShapedArray* tokenRows =
        tokens == inputs.featureValueDictionary.end() ? nullptr : &tokens->second;
    if (tokenRows && tokenRows->shape() != Shape{batch, length_, width}) {
        throw std::invalid_argument("The text encoder takes \"token_embeds\" of shape " +
                                    describe(Shape{batch, length_, width}) + ", not " +
                                    describe(tokenRows->shape()) + ".");
    }
    // The state after layer `skipped` (0: the embeddings) is the one normed.
    const auto layerCount = static_cast<int64_t>(layers_.size());
    const int64_t normedState = layerCount + 1 - clipSkip(inputs);
    for (int64_t b = 0; b < batch; ++b) {
        const float* rowIds = ids.data() + b * length_;
        Matrix x = embed(rowIds, tokenRows ? tokenRows->data() + b * length_ * width : nullptr);
        float* last = lastHidden.data() + b * length_ * width;
        for (int64_t i = 0; i < layerCount; ++i) {
            if (i + 1 == layerCount) {
                std::copy_n(x.data(), length_ * width, hiddenEmbeds.data() + b * length_ * width);
            }
            layers_[static_cast<size_t>(i)].forward(x);
            if (i + 1 == normedState && normedState != layerCount) {
                finalNorm_.forward(x.data(), last);
            }
        }
        // The pooled output is always the last layer's.
        Matrix normed(length_, width);
        finalNorm_.forward(x.data(), normed.data());
        if (normedState == layerCount) {
            std::copy_n(normed.data(), length_ * width, last);
        }
        const float* state = normed.data() + pooledPosition(rowIds) * width;
        if (projection_) {
            projection_->forward(state, pooled.data() + b * pooledWidth);
        } else {
            std::copy_n(state, width, pooled.data() + b * pooledWidth);
        }
    }
    FeatureValueDictionary outputs;
    outputs.emplace("last_hidden_state", std::move(lastHidden));
    outputs.emplace("hidden_embeds", std::move(hiddenEmbeds));
    outputs.emplace("pooled_outputs", std::move(pooled));
    return outputs;
}

} // namespace dravelin
