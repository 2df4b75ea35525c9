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

// The encoder half of diffusers' AutoencoderKL: "x" [batch, in channels, H, W]
// → encoder (conv_in, down blocks, mid block, norm, SiLU, conv_out) →
// quant_conv → "moments" [batch, 2 × latent channels, H/2^(blocks−1),
// W/2^(blocks−1)], the Gaussian's means then its log-variances.
class VaeEncoder : public Network {
public:
    VaeEncoder(const VaeConfig& config, const WeightReader& weights, int64_t imageHeight,
               int64_t imageWidth);
    static WeightList weights(const VaeConfig& config);

    // Encodes each image in bands of rows where its full-resolution maps are
    // large (VaeBands); DRAVELIN_ENCODE=whole|bands decides instead, to
    // compare the two.
    FeatureValueDictionary predict(const FeatureProvider& inputs) override;
    FeatureMap encode(FeatureMap image) const;
    // The same for one image, the down blocks' ResNet blocks in `bands`
    // (counted in input rows). Every norm still sees the whole map, so bands
    // change the result only by rounding.
    FeatureMap encode(FeatureMap image, const VaeBands& bands) const;

private:
    struct DownBlock {
        std::vector<ResnetBlock2D> resnets;
        std::optional<Convolution> downsampler;
    };

    VaeConfig config_;
    int64_t imageHeight_;
    int64_t imageWidth_;
    Convolution convIn_;
    std::vector<DownBlock> down_;
    std::optional<MidBlock2D> mid_;
    std::optional<GroupNorm> normOut_;
    std::optional<Convolution> convOut_;
    std::optional<Convolution> quant_;
};

} // namespace dravelin
