#include "nn/networks/taesd/TinyEncoder.h"

#include "nn/compute/ComputeContext.h"
#include "nn/layers/ChannelTransform.h"
#include "nn/networks/taesd/TinyLayers.h"

#include <stdexcept>

namespace dravelin {

namespace {

const std::string kHalf = "encoder";

} // namespace

WeightList TinyEncoder::weights(const TinyAutoencoderConfig& config) {
    WeightList list;
    const int64_t channels = config.encoderChannels;
    size_t index = 0;
    for (size_t stage = 0; stage < config.encoderBlocks.size(); ++stage) {
        if (stage == 0) {
            Convolution::declare(list, tinyLayer(kHalf, index++), config.inChannels, channels, 3);
        } else {
            declareUnbiased(list, tinyLayer(kHalf, index++), channels, channels);
        }
        for (int64_t block = 0; block < config.encoderBlocks[stage]; ++block) {
            TinyAutoencoderBlock::declare(list, tinyLayer(kHalf, index++), channels);
        }
    }
    Convolution::declare(list, tinyLayer(kHalf, index), channels, config.latentChannels, 3);
    return list;
}

namespace {

size_t finalLayerIndex(const TinyAutoencoderConfig& config) {
    size_t index = 0;
    for (int64_t blocks : config.encoderBlocks) {
        index += 1 + static_cast<size_t>(blocks);
    }
    return index;
}

} // namespace

TinyEncoder::TinyEncoder(const TinyAutoencoderConfig& config, const WeightReader& weights,
                         int64_t imageHeight, int64_t imageWidth)
    : config_(config), imageHeight_(imageHeight), imageWidth_(imageWidth),
      convOut_(weights, tinyLayer(kHalf, finalLayerIndex(config)), config.encoderChannels,
               config.latentChannels, 3) {
    const int64_t channels = config.encoderChannels;
    size_t index = 0;
    for (size_t stage = 0; stage < config.encoderBlocks.size(); ++stage) {
        const std::string prefix = tinyLayer(kHalf, index++);
        Convolution conv = stage == 0 ? Convolution(weights, prefix, config.inChannels, channels, 3)
                                      : unbiasedConvolution(weights, prefix, channels, channels, 2);
        std::vector<TinyAutoencoderBlock> blocks;
        for (int64_t block = 0; block < config.encoderBlocks[stage]; ++block) {
            blocks.emplace_back(weights, tinyLayer(kHalf, index++), channels, config.activation);
        }
        stages_.push_back({std::move(conv), std::move(blocks)});
    }
}

FeatureMap TinyEncoder::encode(const ShapedArray& image) const {
    // The library maps the image from [−1, 1] to [0, 1] first; the zero
    // padding then surrounds the mapped values.
    FeatureMap hidden = FeatureMap::fromPlanar(image);
    ChannelTransform::uniform(hidden.batch(), hidden.channels(), 0.5f, 0.5f).applyInPlace(hidden);
    for (const Stage& stage : stages_) {
        hidden = stage.conv.forward({hidden});
        for (const TinyAutoencoderBlock& block : stage.blocks) {
            hidden = block.forward(std::move(hidden));
        }
    }
    return convOut_.forward({hidden});
}

FeatureValueDictionary TinyEncoder::predict(const FeatureProvider& inputs) {
    ComputeThreadsScope threads;
    const ShapedArray& x = inputs.featureValue("x");
    const Shape expected{x.rank() == 4 ? x.shape()[0] : 1, config_.inChannels, imageHeight_,
                         imageWidth_};
    if (x.shape() != expected) {
        throw std::invalid_argument("The preview encoder takes \"x\" of shape " +
                                    describe(expected) + ", not " + describe(x.shape()) + ".");
    }
    FeatureValueDictionary outputs;
    outputs.emplace("latents", encode(x).toPlanar());
    return outputs;
}

} // namespace dravelin
