#pragma once

#include "nn/compute/FeatureMap.h"
#include "nn/compute/Values.h"
#include "nn/layers/ChannelTransform.h"

#include <cstdint>

namespace dravelin {

// One image of a feature map as a sequence of tokens, one per pixel in
// reading order (height·width rows of `channels` values, dense), and back:
// how the attention layers see a map.
class PixelTokens {
public:
    // tokens = transform(image n of the map), e.g. its group norm, in
    // bfloat16 where the product that reads them multiplies in it.
    static void gather(const FeatureMap& map, int64_t image, const ChannelTransform& transform,
                       Values tokens);
    // Image n of the map += tokens (a residual sum).
    static void addInto(FeatureMap& map, int64_t image, const float* tokens);
};

} // namespace dravelin
