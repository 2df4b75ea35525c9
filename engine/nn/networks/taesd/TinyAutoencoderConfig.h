#pragma once

#include "nn/layers/Activation.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <vector>

namespace dravelin {

// The configuration of diffusers' AutoencoderTiny (the TAESD architecture),
// every missing key at the library's default. Each half keeps one width
// throughout: the library's blocks only work when every entry of a half's
// block widths is the same.
struct TinyAutoencoderConfig {
    int64_t inChannels = 3;
    int64_t outChannels = 3;
    int64_t latentChannels = 4;
    int64_t encoderChannels = 64;
    int64_t decoderChannels = 64;
    // Residual blocks per stage; stages after the first halve (encoder) or
    // double (decoder) the resolution.
    std::vector<int64_t> encoderBlocks{1, 3, 3, 3};
    std::vector<int64_t> decoderBlocks{3, 3, 3, 1};
    Activation activation = Activation::relu;
    // The latents the decoder takes are the pipeline's divided by this.
    double scalingFactor = 1.0;

    // Throws ConfigurationError naming the key of a wrong or unsupported
    // value.
    static TinyAutoencoderConfig read(const nlohmann::json& config);

    int64_t encoderDownscale() const { return int64_t{1} << (encoderBlocks.size() - 1); }
    int64_t decoderUpscale() const { return int64_t{1} << (decoderBlocks.size() - 1); }
};

} // namespace dravelin
