#include "nn/networks/taesd/TinyDecoder.h"

#include "nn/compute/ComputeContext.h"
#include "nn/layers/ChannelTransform.h"
#include "nn/networks/taesd/TinyLayers.h"

#include <cmath>
#include <stdexcept>

namespace dravelin {

namespace {

const std::string kHalf = "decoder";

// The last convolution, with the library's final x·2 − 1 folded into its
// weights and bias.
Convolution imageConvolution(const WeightReader& weights, const std::string& prefix, int64_t in,
                             int64_t out) {
    ShapedArray weight = weights.read(prefix + ".weight", {out, in, 3, 3});
    ShapedArray bias = weights.read(prefix + ".bias", {out});
    for (float& value : weight.values()) {
        value *= 2.0f;
    }
    for (float& value : bias.values()) {
        value = value * 2.0f - 1.0f;
    }
    return Convolution(weight, bias);
}

} // namespace

WeightList TinyDecoder::weights(const TinyAutoencoderConfig& config) {
    WeightList list;
    const int64_t channels = config.decoderChannels;
    Convolution::declare(list, tinyLayer(kHalf, 0), config.latentChannels, channels, 3);
    size_t index = 2; // after the activation
    for (size_t stage = 0; stage < config.decoderBlocks.size(); ++stage) {
        for (int64_t block = 0; block < config.decoderBlocks[stage]; ++block) {
            TinyAutoencoderBlock::declare(list, tinyLayer(kHalf, index++), channels);
        }
        if (stage + 1 < config.decoderBlocks.size()) {
            ++index; // the upsampling
            declareUnbiased(list, tinyLayer(kHalf, index++), channels, channels);
        } else {
            Convolution::declare(list, tinyLayer(kHalf, index++), channels, config.outChannels, 3);
        }
    }
    return list;
}

TinyDecoder::TinyDecoder(const TinyAutoencoderConfig& config, const WeightReader& weights,
                         int64_t latentHeight, int64_t latentWidth)
    : config_(config), latentHeight_(latentHeight), latentWidth_(latentWidth),
      convIn_(weights, tinyLayer(kHalf, 0), config.latentChannels, config.decoderChannels, 3) {
    const int64_t channels = config.decoderChannels;
    size_t index = 2;
    for (size_t stage = 0; stage < config.decoderBlocks.size(); ++stage) {
        std::vector<TinyAutoencoderBlock> blocks;
        for (int64_t block = 0; block < config.decoderBlocks[stage]; ++block) {
            blocks.emplace_back(weights, tinyLayer(kHalf, index++), channels, config.activation);
        }
        const bool last = stage + 1 == config.decoderBlocks.size();
        if (!last) {
            ++index;
        }
        const std::string prefix = tinyLayer(kHalf, index++);
        stages_.push_back({std::move(blocks), !last,
                           last ? imageConvolution(weights, prefix, channels, config.outChannels)
                                : unbiasedConvolution(weights, prefix, channels, channels, 1)});
    }
}

FeatureMap TinyDecoder::decode(const ShapedArray& latents) const {
    // The library's soft clamp of the latents to (−3, 3).
    ShapedArray clamped(latents.shape());
    const float* in = latents.data();
    float* out = clamped.data();
    for (int64_t i = 0; i < latents.count(); ++i) {
        out[i] = std::tanh(in[i] / 3.0f) * 3.0f;
    }
    FeatureMap hidden = convIn_.forward({FeatureMap::fromPlanar(clamped)});
    ChannelTransform(hidden.batch(), hidden.channels(), config_.activation).applyInPlace(hidden);
    for (const Stage& stage : stages_) {
        for (const TinyAutoencoderBlock& block : stage.blocks) {
            hidden = block.forward(std::move(hidden));
        }
        hidden = stage.conv.forward({hidden, nullptr, stage.upsample});
    }
    return hidden;
}

FeatureValueDictionary TinyDecoder::predict(const FeatureProvider& inputs) {
    ComputeThreadsScope threads;
    const ShapedArray& z = inputs.featureValue("z");
    const Shape expected{z.rank() == 4 ? z.shape()[0] : 1, config_.latentChannels, latentHeight_,
                         latentWidth_};
    if (z.shape() != expected) {
        throw std::invalid_argument("The preview decoder takes \"z\" of shape " +
                                    describe(expected) + ", not " + describe(z.shape()) + ".");
    }
    FeatureValueDictionary outputs;
    outputs.emplace("image", decode(z).toPlanar());
    return outputs;
}

} // namespace dravelin
