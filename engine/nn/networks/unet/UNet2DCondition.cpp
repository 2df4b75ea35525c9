#include "nn/networks/unet/UNet2DCondition.h"

#include "nn/blocks/UNetBlockFactory.h"
#include "nn/compute/ComputeContext.h"
#include "runtime/FeatureNames.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <tuple>

namespace dravelin {

namespace {

TimestepEmbeddingSettings timeSettings(const UNetConfig& config, int64_t batch) {
    return {config.blockOutChannels.front(), config.timeEmbeddingDim(), config.flipSinToCos,
            config.freqShift, batch};
}

UNetBlockGeometry geometry(const UNetShape& shape) {
    return {shape.height, shape.width, shape.contextLength};
}

// The sides must halve exactly at every downsampler.
const UNetShape& checked(const UNetConfig& config, const UNetShape& shape) {
    const int64_t scale = int64_t{1} << (config.blocks() - 1);
    if (shape.height % scale != 0 || shape.width % scale != 0) {
        throw std::invalid_argument("The denoising network takes samples whose sides are "
                                    "multiples of " +
                                    std::to_string(scale) + ".");
    }
    return shape;
}

} // namespace

std::vector<FeatureDescription> UNet2DCondition::residualInputs(const UNetConfig& config,
                                                                const UNetShape& shape) {
    std::vector<FeatureDescription> inputs;
    const std::vector<UNetBlockFactory::Skip> skips =
        UNetBlockFactory::skips(config.blockConfig(false));
    for (size_t i = 0; i < skips.size(); ++i) {
        inputs.push_back({feature::downBlockResidual(i),
                          {shape.batch, skips[i].channels, shape.height / skips[i].scale,
                           shape.width / skips[i].scale}});
    }
    const int64_t scale = int64_t{1} << (config.blocks() - 1);
    inputs.push_back(
        {feature::midBlockResidual,
         {shape.batch, config.blockOutChannels.back(), shape.height / scale, shape.width / scale}});
    return inputs;
}

WeightList UNet2DCondition::weights(const UNetConfig& config) {
    WeightList list;
    TimestepEmbedding::declare(list, "time_embedding", timeSettings(config, 1));
    if (config.hasTextTimeEmbedding()) {
        TextTimeEmbedding::declare(list, "add_embedding", config.additionInputWidth,
                                   config.timeEmbeddingDim());
    }
    const int64_t first = config.blockOutChannels.front();
    Convolution::declare(list, "conv_in", config.inChannels, first, 3);
    const UNetBlockConfig blocks = config.blockConfig();
    UNetBlockFactory::declareDownBlocks(list, blocks);
    UNetBlockFactory::declareMidBlock(list, blocks);
    UNetBlockFactory::declareUpBlocks(list, blocks);
    GroupNorm::declare(list, "conv_norm_out", first);
    Convolution::declare(list, "conv_out", first, config.outChannels, 3);
    return list;
}

UNet2DCondition::UNet2DCondition(const UNetConfig& config, const WeightReader& weights,
                                 const UNetShape& shape, bool controlled, int64_t timeIds)
    : config_(config), shape_(checked(config, shape)), controlled_(controlled),
      time_(weights, "time_embedding", timeSettings(config, shape.batch)), timeIds_(timeIds),
      convIn_(weights, "conv_in", config.inChannels, config.blockOutChannels.front(), 3),
      down_(UNetBlockFactory::buildDownBlocks(weights, config.blockConfig(), geometry(shape))),
      mid_(UNetBlockFactory::buildMidBlock(weights, config.blockConfig(), geometry(shape))),
      up_(UNetBlockFactory::buildUpBlocks(weights, config.blockConfig(), geometry(shape))),
      normOut_(weights, "conv_norm_out", config.blockOutChannels.front(), config.groups,
               config.epsilon),
      convOut_(weights, "conv_out", config.blockOutChannels.front(), config.outChannels, 3) {
    if (config.hasTextTimeEmbedding()) {
        const int64_t textWidth = config.additionInputWidth - timeIds * config.additionTimeEmbedDim;
        if (timeIds < 1 || textWidth < 1) {
            throw std::invalid_argument("The denoising network's \"time_ids\" cannot hold " +
                                        std::to_string(timeIds) +
                                        " values per image: with \"addition_time_embed_dim\" " +
                                        std::to_string(config.additionTimeEmbedDim) +
                                        " that leaves no room for the pooled text embedding.");
        }
        addition_.emplace(weights, "add_embedding",
                          TextTimeEmbeddingSettings{textWidth, timeIds, config.additionTimeEmbedDim,
                                                    config.timeEmbeddingDim(), config.flipSinToCos,
                                                    config.freqShift, shape.batch});
    }
}

FeatureMap UNet2DCondition::denoise(FeatureMap sample, const float* timesteps,
                                    const std::vector<Matrix>& contexts,
                                    const std::vector<const ShapedArray*>& residuals,
                                    const std::vector<float>* addition) const {
    if (config_.centerInputSample) {
        ChannelTransform::uniform(sample.batch(), sample.channels(), 2.0f, -1.0f)
            .applyInPlace(sample);
    }
    // Every ResNet block adds a projection of activation(embedding).
    std::vector<float> embedding = time_.forward(timesteps);
    if (addition != nullptr) {
        for (size_t i = 0; i < embedding.size(); ++i) {
            embedding[i] += (*addition)[i];
        }
    }
    applyActivation(config_.activation, embedding.data(), static_cast<int64_t>(embedding.size()));
    const float* time = embedding.data();

    FeatureMap hidden = convIn_.forward({sample});
    sample = FeatureMap();
    std::vector<FeatureMap> skips;
    skips.push_back(hidden.clone());
    for (const DownBlock2D& block : down_) {
        hidden = block.forward(std::move(hidden), time, contexts, skips);
    }
    hidden = mid_.forward(std::move(hidden), time, contexts);
    if (!residuals.empty()) {
        if (residuals.size() != skips.size() + 1) {
            throw std::invalid_argument("The denoising network takes " +
                                        std::to_string(skips.size() + 1) + " residuals, not " +
                                        std::to_string(residuals.size()) + ".");
        }
        for (size_t i = 0; i < skips.size(); ++i) {
            skips[i].addPlanar(*residuals[i]);
        }
        hidden.addPlanar(*residuals.back());
    }
    for (const UpBlock2D& block : up_) {
        hidden = block.forward(std::move(hidden), time, contexts, skips);
    }
    const ChannelTransform normalize = normOut_.transform(hidden, config_.activation);
    return convOut_.forward({hidden, &normalize});
}

FeatureValueDictionary UNet2DCondition::predict(const FeatureProvider& inputs) {
    ComputeThreadsScope threads;
    DenoisingInputs in = DenoisingInputs::read(inputs, shape_, config_.inChannels,
                                               config_.crossAttentionDim, "The denoising network",
                                               /*takesSmallerBatches=*/!controlled_ && !addition_);
    std::vector<const ShapedArray*> residuals;
    if (controlled_) {
        for (const FeatureDescription& input : residualInputs(config_, shape_)) {
            const ShapedArray& residual = inputs.featureValue(input.name);
            if (residual.shape() != input.shape) {
                throw std::invalid_argument("The denoising network takes \"" + input.name +
                                            "\" of shape " + describe(input.shape) + ", not " +
                                            describe(residual.shape()) + ".");
            }
            residuals.push_back(&residual);
        }
    }
    std::optional<std::vector<float>> added;
    if (addition_) {
        const ShapedArray& textEmbeds = inputs.featureValue(feature::textEmbeds);
        const ShapedArray& timeIds = inputs.featureValue(feature::timeIds);
        const Shape textShape{shape_.batch,
                              config_.additionInputWidth - timeIds_ * config_.additionTimeEmbedDim};
        // The pipelines may hand the rows over one after the other.
        const Shape idShape =
            timeIds.rank() == 1 ? Shape{shape_.batch * timeIds_} : Shape{shape_.batch, timeIds_};
        for (const auto& [name, array, expected] :
             {std::tuple{feature::textEmbeds, &textEmbeds, &textShape},
              std::tuple{feature::timeIds, &timeIds, &idShape}}) {
            if (array->shape() != *expected) {
                throw std::invalid_argument(std::string("The denoising network takes \"") + name +
                                            "\" of shape " + describe(*expected) + ", not " +
                                            describe(array->shape()) + ".");
            }
        }
        added = addition_->forward(textEmbeds.data(), timeIds.data());
    }
    FeatureValueDictionary outputs;
    outputs.emplace(feature::noisePrediction,
                    denoise(std::move(in.sample), in.timesteps, in.contexts, residuals,
                            added ? &*added : nullptr)
                        .toPlanar());
    return outputs;
}

} // namespace dravelin
