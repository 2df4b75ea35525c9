#pragma once

#include "nn/layers/Activation.h"

#include <cstdint>
#include <vector>

namespace dravelin {

class FeatureMap;

// A per-channel affine map followed by an activation, with its own factors
// for each image: what a group norm with its learned scale and shift, and the
// activation after it, do to every value. Worked out once from the
// statistics, then applied wherever a layer reads the values (a convolution
// applies it to the rows it is about to read, so the normalised map is never
// stored whole).
class ChannelTransform {
public:
    ChannelTransform(int64_t images, int64_t channels, Activation activation);
    // The same scale and shift for every value, no activation.
    static ChannelTransform uniform(int64_t images, int64_t channels, float scale, float shift);

    int64_t channels() const { return channels_; }
    Activation activation() const { return activation_; }
    float* scales(int64_t image) { return scales_.data() + image * channels_; }
    float* shifts(int64_t image) { return shifts_.data() + image * channels_; }

    // out[p·C + c] = activation(in[p·C + c]·scale[c] + shift[c]) for `pixels`
    // consecutive pixels of `image`; `out` may be `in`.
    void apply(int64_t image, const float* in, float* out, int64_t pixels) const;
    // Every interior pixel of the map, in place.
    void applyInPlace(FeatureMap& map) const;

private:
    int64_t channels_;
    Activation activation_;
    std::vector<float> scales_;
    std::vector<float> shifts_;
};

} // namespace dravelin
