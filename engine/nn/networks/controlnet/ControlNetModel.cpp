#include "nn/networks/controlnet/ControlNetModel.h"

#include "nn/blocks/UNetBlockFactory.h"
#include "nn/compute/ComputeContext.h"
#include "runtime/FeatureNames.h"

#include <stdexcept>

namespace dravelin {

namespace {

TimestepEmbeddingSettings timeSettings(const UNetConfig& config, int64_t batch) {
    return {config.blockOutChannels.front(), config.timeEmbeddingDim(), config.flipSinToCos,
            config.freqShift, batch};
}

UNetBlockGeometry geometry(const UNetShape& shape) {
    return {shape.height, shape.width, shape.contextLength};
}

const UNetShape& checked(const UNetConfig& config, const UNetShape& shape) {
    const int64_t scale = int64_t{1} << (config.blocks() - 1);
    if (shape.height % scale != 0 || shape.width % scale != 0) {
        throw std::invalid_argument("The ControlNet takes samples whose sides are multiples of " +
                                    std::to_string(scale) + ".");
    }
    return shape;
}

std::string downOutputName(size_t index) {
    return "controlnet_down_blocks." + std::to_string(index);
}

constexpr const char* kMidOutputName = "controlnet_mid_block";
constexpr const char* kConditioningName = "controlnet_cond_embedding";

std::vector<Convolution> downOutputs(const WeightReader& weights, const UNetConfig& config) {
    std::vector<Convolution> result;
    const std::vector<UNetBlockFactory::Skip> skips =
        UNetBlockFactory::skips(config.blockConfig(false));
    for (size_t i = 0; i < skips.size(); ++i) {
        result.emplace_back(weights, downOutputName(i), skips[i].channels, skips[i].channels, 1);
    }
    return result;
}

} // namespace

WeightList ControlNetModel::weights(const ControlNetConfig& config) {
    const UNetConfig& unet = config.unet;
    const UNetBlockConfig blocks = unet.blockConfig(false);
    WeightList list;
    TimestepEmbedding::declare(list, "time_embedding", timeSettings(unet, 1));
    const int64_t first = unet.blockOutChannels.front();
    Convolution::declare(list, "conv_in", unet.inChannels, first, 3);
    ControlNetConditioningEmbedding::declare(list, kConditioningName, config.conditioningChannels,
                                             config.conditioningEmbeddingChannels, first);
    UNetBlockFactory::declareDownBlocks(list, blocks);
    UNetBlockFactory::declareMidBlock(list, blocks);
    const std::vector<UNetBlockFactory::Skip> skips = UNetBlockFactory::skips(blocks);
    for (size_t i = 0; i < skips.size(); ++i) {
        Convolution::declare(list, downOutputName(i), skips[i].channels, skips[i].channels, 1);
    }
    const int64_t top = unet.blockOutChannels.back();
    Convolution::declare(list, kMidOutputName, top, top, 1);
    return list;
}

std::vector<std::string> ControlNetModel::outputNames(const ControlNetConfig& config) {
    std::vector<std::string> names;
    const size_t count = UNetBlockFactory::skipCount(config.unet.blockConfig(false));
    for (size_t i = 0; i < count; ++i) {
        names.push_back(feature::downBlockResidual(i));
    }
    names.push_back(feature::midBlockResidual);
    return names;
}

ControlNetModel::ControlNetModel(const ControlNetConfig& config, const WeightReader& weights,
                                 const UNetShape& shape)
    : config_(config), shape_(checked(config.unet, shape)),
      time_(weights, "time_embedding", timeSettings(config.unet, shape.batch)),
      convIn_(weights, "conv_in", config.unet.inChannels, config.unet.blockOutChannels.front(), 3),
      conditioning_(weights, kConditioningName, config.conditioningChannels,
                    config.conditioningEmbeddingChannels, config.unet.blockOutChannels.front()),
      down_(UNetBlockFactory::buildDownBlocks(weights, config.unet.blockConfig(false),
                                              geometry(shape))),
      mid_(UNetBlockFactory::buildMidBlock(weights, config.unet.blockConfig(false),
                                           geometry(shape))),
      downOutputs_(downOutputs(weights, config.unet)),
      midOutput_(weights, kMidOutputName, config.unet.blockOutChannels.back(),
                 config.unet.blockOutChannels.back(), 1) {}

std::vector<FeatureMap> ControlNetModel::residuals(const FeatureMap& sample,
                                                   const FeatureMap& condition,
                                                   const float* timesteps,
                                                   const std::vector<Matrix>& contexts) const {
    std::vector<float> embedding = time_.forward(timesteps);
    applyActivation(config_.unet.activation, embedding.data(),
                    static_cast<int64_t>(embedding.size()));
    const float* time = embedding.data();

    FeatureMap hidden = convIn_.forward({sample});
    conditioning_.accumulate(condition, hidden);
    std::vector<FeatureMap> skips;
    skips.push_back(hidden.clone());
    for (const DownBlock2D& block : down_) {
        hidden = block.forward(std::move(hidden), time, contexts, skips);
    }
    hidden = mid_.forward(std::move(hidden), time, contexts);

    std::vector<FeatureMap> result;
    for (size_t i = 0; i < skips.size(); ++i) {
        result.push_back(downOutputs_[i].forward({skips[i]}));
        skips[i] = FeatureMap();
    }
    result.push_back(midOutput_.forward({hidden}));
    return result;
}

FeatureValueDictionary ControlNetModel::predict(const FeatureProvider& inputs) {
    ComputeThreadsScope threads;
    const UNetConfig& unet = config_.unet;
    const DenoisingInputs in = DenoisingInputs::read(inputs, shape_, unet.inChannels,
                                                     unet.crossAttentionDim, "The ControlNet");
    const ShapedArray& image = inputs.featureValue(feature::controlNetCondition);
    const int64_t scale = config_.conditioningScale();
    const Shape imageShape{shape_.batch, config_.conditioningChannels, shape_.height * scale,
                           shape_.width * scale};
    if (image.shape() != imageShape) {
        throw std::invalid_argument(
            std::string("The ControlNet takes \"") + feature::controlNetCondition + "\" of shape " +
            describe(imageShape) + ", not " + describe(image.shape()) + ".");
    }
    FeatureMap condition = FeatureMap::fromPlanar(image);
    if (config_.bgr) {
        condition.reverseChannels();
    }
    std::vector<FeatureMap> maps = residuals(in.sample, condition, in.timesteps, in.contexts);
    const std::vector<std::string> names = outputNames(config_);
    FeatureValueDictionary outputs;
    for (size_t i = 0; i < maps.size(); ++i) {
        outputs.emplace(names[i], maps[i].toPlanar());
        maps[i] = FeatureMap();
    }
    return outputs;
}

} // namespace dravelin
