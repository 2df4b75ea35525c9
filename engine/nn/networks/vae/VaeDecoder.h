#pragma once

#include "nn/layers/Convolution.h"
#include "nn/layers/GroupNorm.h"
#include "nn/blocks/MidBlock2D.h"
#include "nn/blocks/ResnetBlock2D.h"
#include "nn/networks/vae/VaeBands.h"
#include "nn/networks/vae/VaeConfig.h"
#include "runtime/Network.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace dravelin {

// The decoder half of diffusers' AutoencoderKL: "z" [batch, latent channels,
// h, w] (already divided by the scaling factor) → post_quant_conv → decoder
// (conv_in, mid block, up blocks, norm, SiLU, conv_out) → "image"
// [batch, out channels, h·2^(blocks−1), w·2^(blocks−1)].
class VaeDecoder : public Network {
public:
    VaeDecoder(const VaeConfig& config, const WeightReader& weights, int64_t latentHeight,
               int64_t latentWidth);
    static WeightList weights(const VaeConfig& config);

    // Decodes each image in bands of rows where its full-resolution maps are
    // large (VaeBands); DRAVELIN_DECODE=whole|bands decides instead, to
    // compare the two.
    FeatureValueDictionary predict(const FeatureProvider& inputs) override;
    FeatureMap decode(FeatureMap latent) const;
    // The same for one image, the up blocks' ResNet blocks in `bands`
    // (counted in output rows). Every norm still sees the whole map, so
    // bands change the result only by rounding.
    FeatureMap decode(FeatureMap latent, const VaeBands& bands) const;

private:
    struct UpBlock {
        std::vector<ResnetBlock2D> resnets;
        std::optional<Convolution> upsampler;
    };

    VaeConfig config_;
    int64_t latentHeight_;
    int64_t latentWidth_;
    std::optional<Convolution> postQuant_;
    Convolution convIn_;
    MidBlock2D mid_;
    std::vector<UpBlock> up_;
    GroupNorm normOut_;
    Convolution convOut_;
};

} // namespace dravelin
