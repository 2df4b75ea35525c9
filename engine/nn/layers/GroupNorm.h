#pragma once

#include "nn/layers/ChannelTransform.h"
#include "nn/compute/WeightReader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravelin {

class FeatureMap;

// Group normalisation with a learned per-channel scale and shift (PyTorch's
// GroupNorm with affine weights): each image's channels fall into `groups`
// equal groups, normalised by the mean and biased variance over the group's
// channels and all pixels.
class GroupNorm {
public:
    // Reads "<prefix>.weight" and "<prefix>.bias", each [channels].
    GroupNorm(const WeightReader& weights, const std::string& prefix, int64_t channels,
              int64_t groups, float epsilon);
    GroupNorm(std::vector<float> gamma, std::vector<float> beta, int64_t groups, float epsilon);
    static void declare(WeightList& list, const std::string& prefix, int64_t channels);

    int64_t channels() const { return static_cast<int64_t>(gamma_.size()); }

    // Measures the map and returns the transform that normalises it, scales
    // and shifts it, and applies `activation`. With `offsets` (batch ×
    // channels), the map is taken as if each image's channel c held
    // offsets[n·C + c] more at every pixel (a per-image bias such as a time
    // embedding), without a pass that adds them: the transform then expects
    // the map as it is.
    ChannelTransform transform(const FeatureMap& input, Activation activation,
                               const float* offsets = nullptr) const;

    // Per-channel sums of a map met in parts (bands of rows of one image),
    // so the statistics are those of the whole map. The first part added
    // fixes the value the sums are taken around.
    struct Sums {
        std::vector<float> shift;
        std::vector<double> sum;
        std::vector<double> squares;
        double pixels = 0.0;
    };
    // Adds `count` rows of the first image of `part`, from its row `first`.
    void accumulate(Sums& sums, const FeatureMap& part, int64_t first, int64_t count) const;
    // The transform for everything added to `sums`, for one image.
    ChannelTransform transform(const Sums& sums, Activation activation) const;

private:
    // Scales and shifts of one image from its per-channel sums around `shift`,
    // each channel moved by `offset` where one is given.
    void finish(const float* shift, const double* sum, const double* squares, double pixels,
                const float* offset, float* scales, float* shifts) const;

    std::vector<float> gamma_;
    std::vector<float> beta_;
    int64_t groups_;
    float epsilon_;
};

} // namespace dravelin
