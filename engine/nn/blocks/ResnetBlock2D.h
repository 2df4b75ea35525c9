#pragma once

#include "nn/layers/Activation.h"
#include "nn/layers/Convolution.h"
#include "nn/compute/FeatureMap.h"
#include "nn/layers/GroupNorm.h"
#include "nn/layers/Linear.h"
#include "nn/compute/WeightReader.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

struct ResnetBlockSettings {
    int64_t inChannels;
    int64_t outChannels;
    int64_t groups;
    float epsilon;
    Activation activation;
    // Width of the time embedding added after conv1 (diffusers' temb
    // channels); 0 for none.
    int64_t timeChannels = 0;
};

// diffusers' ResnetBlock2D: norm1 → activation → conv1 (3×3)
// [+ time_emb_proj(activation(time embedding)), per image and channel] →
// norm2 → activation → conv2 (3×3), added to the input (through
// a 1×1 "conv_shortcut" when the channel count changes). Each norm and its
// activation are applied as the following convolution reads its rows, the
// time embedding's projection is folded into norm2 as a per-image channel
// offset rather than added to the map, and conv2 adds straight into the
// residual, so the block holds at most its input, the shortcut and one
// intermediate map and passes over none of them on its own.
class ResnetBlock2D {
public:
    ResnetBlock2D(const WeightReader& weights, const std::string& prefix,
                  const ResnetBlockSettings& settings);
    static void declare(WeightList& list, const std::string& prefix,
                        const ResnetBlockSettings& settings);

    // `timeEmbedding`: batch × timeChannels, already through the activation
    // (every block of a network takes the same), or null without one.
    FeatureMap forward(FeatureMap input, const float* timeEmbedding = nullptr) const;

    // The same result for one image without a time embedding, while holding
    // only bands of `bandRows` rows of the intermediate map: each band of the
    // output is computed from the input rows it depends on (two more on each
    // side), and the second norm's statistics are gathered over every band
    // in a first pass (conv1 then runs twice), so every norm still sees the
    // whole map.
    FeatureMap forwardInBands(const FeatureMap& input, int64_t bandRows) const;

private:
    // batch × outChannels: what the time embedding adds to each image's channels.
    std::vector<float> timeOffsets(int64_t batch, const float* timeEmbedding) const;

    Activation activation_;
    GroupNorm norm1_;
    Convolution conv1_;
    GroupNorm norm2_;
    Convolution conv2_;
    std::optional<Convolution> shortcut_;
    int64_t timeChannels_;
    // One image's embedding at a time, in float32 whatever the network computes in.
    std::optional<Linear> timeProjection_;
};

} // namespace dravelin
