#pragma once

#include "nn/compute/WeightReader.h"
#include "nn/layers/Convolution.h"
#include "nn/networks/taesd/TinyAutoencoderBlock.h"
#include "nn/networks/taesd/TinyAutoencoderConfig.h"
#include "runtime/Network.h"

#include <cstdint>
#include <vector>

namespace dravelin {

// The encoder of diffusers' AutoencoderTiny: "x" [batch, in channels, H, W]
// in [−1, 1] → mapped to [0, 1] → per stage: a conv (stride 2 after the
// first stage) and residual blocks → conv → "latents" [batch, latent
// channels, H/2^(stages−1), same], the pipeline's latents divided by the
// configured scaling factor (1 for TAESD, which works in the scaled space).
class TinyEncoder : public Network {
public:
    TinyEncoder(const TinyAutoencoderConfig& config, const WeightReader& weights,
                int64_t imageHeight, int64_t imageWidth);
    static WeightList weights(const TinyAutoencoderConfig& config);

    FeatureValueDictionary predict(const FeatureProvider& inputs) override;
    FeatureMap encode(const ShapedArray& image) const;

private:
    struct Stage {
        Convolution conv;
        std::vector<TinyAutoencoderBlock> blocks;
    };

    TinyAutoencoderConfig config_;
    int64_t imageHeight_;
    int64_t imageWidth_;
    std::vector<Stage> stages_;
    Convolution convOut_;
};

} // namespace dravelin
