#include "nn/networks/taesd/TinyAutoencoderBlock.h"

#include "nn/layers/ChannelTransform.h"

namespace dravelin {

TinyAutoencoderBlock::TinyAutoencoderBlock(const WeightReader& weights, const std::string& prefix,
                                           int64_t channels, Activation activation)
    : activation_(activation), first_(weights, prefix + ".conv.0", channels, channels, 3),
      second_(weights, prefix + ".conv.2", channels, channels, 3),
      third_(weights, prefix + ".conv.4", channels, channels, 3) {}

void TinyAutoencoderBlock::declare(WeightList& list, const std::string& prefix, int64_t channels) {
    for (const char* layer : {".conv.0", ".conv.2", ".conv.4"}) {
        Convolution::declare(list, prefix + layer, channels, channels, 3);
    }
}

FeatureMap TinyAutoencoderBlock::forward(FeatureMap input) const {
    // The activations between the convolutions are applied as the next
    // convolution reads its rows (a transform of unit scale and zero shift),
    // so those maps are never rewritten whole.
    const ChannelTransform activate(input.batch(), input.channels(), activation_);
    const FeatureMap first = first_.forward({input});
    const FeatureMap second = second_.forward({first, &activate});
    third_.accumulate({second, &activate}, input);
    const ChannelTransform fuse(input.batch(), input.channels(), Activation::relu);
    fuse.applyInPlace(input);
    return input;
}

} // namespace dravelin
