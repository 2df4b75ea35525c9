#pragma once

#include "nn/blocks/AttentionBlock.h"
#include "nn/blocks/ResnetBlock2D.h"
#include "nn/networks/vae/VaeConfig.h"

#include <cstdint>
#include <optional>

namespace dravelin {

// Settings the VAE's halves share: every ResNet block and norm uses the
// configured groups with epsilon 1e-6; the middle attention has one head as
// wide as the last block.
inline constexpr float kVaeEpsilon = 1e-6f;

inline ResnetBlockSettings vaeResnet(const VaeConfig& config, int64_t in, int64_t out) {
    return {in, out, config.groups, kVaeEpsilon, config.activation};
}

inline std::optional<AttentionBlockSettings> vaeMidAttention(const VaeConfig& config,
                                                             int64_t height, int64_t width) {
    if (!config.midBlockAttention) {
        return std::nullopt;
    }
    const int64_t channels = config.blockOutChannels.back();
    return AttentionBlockSettings{channels, channels, config.groups, kVaeEpsilon, height, width};
}

} // namespace dravelin
