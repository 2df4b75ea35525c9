#pragma once

#include "nn/layers/ChannelTransform.h"
#include "nn/compute/FeatureMap.h"

#include <cstdint>

namespace dravelin {

// What a convolution reads: a feature map, optionally passed through a
// channel transform (a group norm and its activation) and enlarged 2× by
// nearest-neighbour repetition on the way in. Neither step is stored whole;
// the convolution produces the rows it needs as it goes.
struct ConvolutionInput {
    const FeatureMap& map;
    const ChannelTransform* transform = nullptr;
    bool upsampled = false;

    int64_t batch() const { return map.batch(); }
    int64_t channels() const { return map.channels(); }
    int64_t height() const { return upsampled ? 2 * map.height() : map.height(); }
    int64_t width() const { return upsampled ? 2 * map.width() : map.width(); }
    // Read straight from the map, with no row production.
    bool isPlain() const { return transform == nullptr && !upsampled; }

    // Writes `count` padded rows of image `image`, from padded row `firstRow`
    // on (row 0 and row height() + 1 are the zero frame), each with its zero
    // frame columns, as the convolution would read them from a stored map.
    // `scratch` holds one row of the map.
    void producePaddedRows(int64_t image, int64_t firstRow, int64_t count, float* target,
                           float* scratch) const;
};

} // namespace dravelin
