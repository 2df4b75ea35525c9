#pragma once

#include "nn/Activation.h"
#include "nn/Convolution.h"
#include "nn/FeatureMap.h"
#include "nn/GroupNorm.h"
#include "nn/WeightReader.h"

#include <cstdint>
#include <optional>
#include <string>

namespace dravelin {

struct ResnetBlockSettings {
    int64_t inChannels;
    int64_t outChannels;
    int64_t groups;
    float epsilon;
    Activation activation;
};

// diffusers' ResnetBlock2D without a time embedding: norm1 → activation →
// conv1 (3×3) → norm2 → activation → conv2 (3×3), added to the input (through
// a 1×1 "conv_shortcut" when the channel count changes). Each norm and its
// activation are applied as the following convolution reads its rows, and
// conv2 adds straight into the residual, so the block holds at most its
// input, the shortcut and one intermediate map.
class ResnetBlock2D {
public:
    ResnetBlock2D(const WeightReader& weights, const std::string& prefix,
                  const ResnetBlockSettings& settings);
    static void declare(WeightList& list, const std::string& prefix,
                        const ResnetBlockSettings& settings);

    FeatureMap forward(FeatureMap input) const;

private:
    Activation activation_;
    GroupNorm norm1_;
    Convolution conv1_;
    GroupNorm norm2_;
    Convolution conv2_;
    std::optional<Convolution> shortcut_;
};

} // namespace dravelin
