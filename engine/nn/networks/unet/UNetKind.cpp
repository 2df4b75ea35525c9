#include "nn/networks/unet/UNetKind.h"

#include "nn/networks/unet/UNet2DCondition.h"
#include "nn/networks/unet/UNetConfig.h"
#include "runtime/FeatureNames.h"

namespace dravelin {

namespace {

// The guidance batch: the prompt and the empty prompt.
constexpr int64_t kBatch = 2;
// The text encoder's positions (CLIP's max_position_embeddings).
constexpr int64_t kTextPositions = 77;

} // namespace

ModelDescription UNetKind::denoisingDescription(const UNetConfig& unet) {
    return ModelDescription{
        {{feature::sample, {kBatch, unet.inChannels, unet.sampleSize, unet.sampleSize}},
         {feature::timestep, {kBatch}},
         {feature::encoderHiddenStates, {kBatch, unet.crossAttentionDim, 1, kTextPositions}}},
        {feature::noisePrediction}};
}

ModelDescription UNetKind::describe(const nlohmann::json& config) const {
    const UNetConfig unet = UNetConfig::read(config);
    ModelDescription description = denoisingDescription(unet);
    if (controlled_) {
        const UNetShape shape = {kBatch, unet.sampleSize, unet.sampleSize, kTextPositions};
        for (FeatureDescription& input : UNet2DCondition::residualInputs(unet, shape)) {
            description.inputs.push_back(std::move(input));
        }
    }
    // Guidance at scale 1 runs the prompt's half alone; residuals come for the
    // whole guidance batch, so the controlled network keeps it.
    description.takesSmallerBatches = !controlled_;
    return description;
}

std::vector<WeightSpec> UNetKind::expectedWeights(const nlohmann::json& config) const {
    return UNet2DCondition::weights(UNetConfig::read(config));
}

std::unique_ptr<Network> UNetKind::build(const nlohmann::json& config,
                                         const ModelDescription& description,
                                         const WeightFiles& weights) const {
    const UNetConfig unet = UNetConfig::read(config);
    const UNetShape shape = denoisingShape(description, unet.inChannels, unet.crossAttentionDim,
                                           "The denoising network");
    if (controlled_) {
        // A bundle that gives the sample another size must give the residuals
        // theirs.
        for (const FeatureDescription& input : UNet2DCondition::residualInputs(unet, shape)) {
            requireInputShape(description, input.name, input.shape, "The denoising network");
        }
    }
    return std::make_unique<UNet2DCondition>(unet, WeightReader(weights), shape, controlled_);
}

} // namespace dravelin
