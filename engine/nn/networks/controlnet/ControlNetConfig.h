#pragma once

#include "nn/networks/unet/UNetConfig.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <vector>

namespace dravelin {

// The configuration of diffusers' ControlNetModel: the denoising network's
// down path and mid block (the same keys, read the same way), and the
// conditioning embedding that turns the control image into a map the size
// of the latents.
struct ControlNetConfig {
    UNetConfig unet;
    // Channels of the conditioning image (3 for RGB).
    int64_t conditioningChannels = 3;
    // Widths of the embedding's stages; each stage after the first halves
    // the image, so the image is 2^(stages - 1) times the sample's size.
    std::vector<int64_t> conditioningEmbeddingChannels{16, 32, 96, 256};
    // "controlnet_conditioning_channel_order" "bgr": the image's channels
    // are taken in reverse.
    bool bgr = false;

    // Throws ConfigurationError naming the key of a wrong or unsupported
    // value.
    static ControlNetConfig read(const nlohmann::json& config);

    // How many times larger than the sample the conditioning image is.
    int64_t conditioningScale() const {
        return int64_t{1} << (conditioningEmbeddingChannels.size() - 1);
    }
};

} // namespace dravelin
