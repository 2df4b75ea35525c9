#pragma once

#include "nn/blocks/AttentionBlock.h"
#include "nn/compute/FeatureMap.h"
#include "nn/blocks/ResnetBlock2D.h"
#include "nn/compute/WeightReader.h"

#include <optional>
#include <string>

namespace dravelin {

// diffusers' UNetMidBlock2D with one layer: a ResNet block, an attention
// block (unless the configuration leaves it out) and another ResNet block,
// all at the same channel count.
class MidBlock2D {
public:
    MidBlock2D(const WeightReader& weights, const std::string& prefix,
               const ResnetBlockSettings& resnet,
               const std::optional<AttentionBlockSettings>& attention);
    static void declare(WeightList& list, const std::string& prefix,
                        const ResnetBlockSettings& resnet,
                        const std::optional<AttentionBlockSettings>& attention);

    FeatureMap forward(FeatureMap input) const;

private:
    ResnetBlock2D first_;
    std::optional<AttentionBlock> attention_;
    ResnetBlock2D second_;
};

} // namespace dravelin
