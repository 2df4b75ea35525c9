#pragma once

#include "nn/layers/Activation.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <vector>

namespace dravelin {

// The configuration of diffusers' AutoencoderKL, every missing key at the
// library's default (as diffusers 0.25 builds it).
struct VaeConfig {
    // The largest image side, in pixels, this runtime builds the networks for;
    // larger sizes are refused, not attempted.
    static constexpr int64_t kMaximumSampleSize = 2048;

    int64_t inChannels = 3;
    int64_t outChannels = 3;
    std::vector<int64_t> blockOutChannels{64};
    int64_t layersPerBlock = 1;
    Activation activation = Activation::silu;
    int64_t latentChannels = 4;
    int64_t groups = 32;
    int64_t sampleHeight = 32;
    int64_t sampleWidth = 32;
    bool midBlockAttention = true;
    bool quantConv = true;
    bool postQuantConv = true;

    // Which half is being built: only its block types must be ones this
    // runtime implements.
    enum class Half { encoder, decoder };

    // Throws ConfigurationError naming the key of a wrong or unsupported
    // value.
    static VaeConfig read(const nlohmann::json& config, Half half);

    // Image pixels per latent pixel along each axis.
    int64_t downscale() const { return int64_t{1} << (blockOutChannels.size() - 1); }
    int64_t latentHeight() const { return sampleHeight / downscale(); }
    int64_t latentWidth() const { return sampleWidth / downscale(); }
};

} // namespace dravelin
