#include "nn/networks/unet/UNetKind.h"

#include "nn/networks/unet/UNet2DCondition.h"
#include "nn/networks/unet/UNetConfig.h"

#include <stdexcept>

namespace dravelin {

namespace {

// The guidance batch: the prompt and the empty prompt.
constexpr int64_t kBatch = 2;
// The text encoder's positions (CLIP's max_position_embeddings).
constexpr int64_t kTextPositions = 77;
// Bounds on the shapes a bundle may fix, checked before any layer is sized.
constexpr int64_t kMaximumBatch = 64;
constexpr int64_t kMaximumTextPositions = 4096;

void requireAtMost(const std::string& what, int64_t value, int64_t maximum) {
    if (value > maximum) {
        throw std::invalid_argument("The denoising network's " + what + " is " +
                                    std::to_string(value) + "; it can be at most " +
                                    std::to_string(maximum) + ".");
    }
}

Shape inputShape(const ModelDescription& description, const std::string& name, size_t rank) {
    const std::optional<FeatureDescription> found = description.input(name);
    if (!found || found->shape.size() != rank) {
        throw std::invalid_argument("The input \"" + name + "\" must have " + std::to_string(rank) +
                                    " dimensions.");
    }
    for (int64_t size : found->shape) {
        if (size < 1) {
            throw std::invalid_argument("The input \"" + name + "\" has an empty dimension.");
        }
    }
    return found->shape;
}

UNetShape shapeInForce(const UNetConfig& config, const ModelDescription& description) {
    const Shape sample = inputShape(description, "sample", 4);
    const Shape timestep = inputShape(description, "timestep", 1);
    const Shape states = inputShape(description, "encoder_hidden_states", 4);
    const int64_t batch = sample[0];
    if (sample[1] != config.inChannels || timestep[0] != batch || states[0] != batch ||
        states[1] != config.crossAttentionDim || states[2] != 1) {
        throw std::invalid_argument(
            "The denoising network's inputs must be shaped \"sample\" [batch, " +
            std::to_string(config.inChannels) +
            ", height, width], \"timestep\" [batch] and "
            "\"encoder_hidden_states\" [batch, " +
            std::to_string(config.crossAttentionDim) + ", 1, positions].");
    }
    requireAtMost("batch", batch, kMaximumBatch);
    requireAtMost("latent height", sample[2], UNetConfig::kMaximumSampleSize);
    requireAtMost("latent width", sample[3], UNetConfig::kMaximumSampleSize);
    requireAtMost("text length", states[3], kMaximumTextPositions);
    return {batch, sample[2], sample[3], states[3]};
}

} // namespace

ModelDescription UNetKind::describe(const nlohmann::json& config) const {
    const UNetConfig unet = UNetConfig::read(config);
    return ModelDescription{
        {{"sample", {kBatch, unet.inChannels, unet.sampleSize, unet.sampleSize}},
         {"timestep", {kBatch}},
         {"encoder_hidden_states", {kBatch, unet.crossAttentionDim, 1, kTextPositions}}},
        {"noise_pred"}};
}

std::vector<WeightSpec> UNetKind::expectedWeights(const nlohmann::json& config) const {
    return UNet2DCondition::weights(UNetConfig::read(config));
}

std::unique_ptr<Network> UNetKind::build(const nlohmann::json& config,
                                         const ModelDescription& description,
                                         const WeightFiles& weights) const {
    const UNetConfig unet = UNetConfig::read(config);
    return std::make_unique<UNet2DCondition>(unet, WeightReader(weights),
                                             shapeInForce(unet, description));
}

} // namespace dravelin
