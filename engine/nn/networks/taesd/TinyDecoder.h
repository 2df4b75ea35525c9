#pragma once

#include "nn/compute/WeightReader.h"
#include "nn/layers/Convolution.h"
#include "nn/networks/taesd/TinyAutoencoderBlock.h"
#include "nn/networks/taesd/TinyAutoencoderConfig.h"
#include "runtime/Network.h"

#include <cstdint>
#include <vector>

namespace dravelin {

// The decoder of diffusers' AutoencoderTiny: "z" [batch, latent channels, h,
// w] (the pipeline's latents divided by the configured scaling factor) →
// tanh(z/3)·3 → conv, activation → per stage: residual blocks, nearest 2×
// upsampling (all stages but the last) and a conv → "image" [batch, out
// channels, h·2^(stages−1), same], mapped from [0, 1] to [−1, 1].
class TinyDecoder : public Network {
public:
    TinyDecoder(const TinyAutoencoderConfig& config, const WeightReader& weights,
                int64_t latentHeight, int64_t latentWidth);
    static WeightList weights(const TinyAutoencoderConfig& config);

    FeatureValueDictionary predict(const FeatureProvider& inputs) override;
    FeatureMap decode(const ShapedArray& latents) const;

private:
    struct Stage {
        std::vector<TinyAutoencoderBlock> blocks;
        bool upsample = false;
        Convolution conv;
    };

    TinyAutoencoderConfig config_;
    int64_t latentHeight_;
    int64_t latentWidth_;
    Convolution convIn_;
    std::vector<Stage> stages_;
};

} // namespace dravelin
