#include "pipeline/LatentResize.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace dravelin {

namespace {

// For each output position along one axis: the two source positions and the
// weight of the second.
struct Taps {
    std::vector<int64_t> low;
    std::vector<int64_t> high;
    std::vector<float> weight;
};

Taps axisTaps(int64_t from, int64_t to) {
    Taps taps;
    const double ratio = static_cast<double>(from) / static_cast<double>(to);
    for (int64_t i = 0; i < to; ++i) {
        // Centre of output cell i in source cells; clamped at the near edge.
        const double source = std::max(0.0, (static_cast<double>(i) + 0.5) * ratio - 0.5);
        const auto low = std::min<int64_t>(static_cast<int64_t>(source), from - 1);
        taps.low.push_back(low);
        taps.high.push_back(std::min<int64_t>(low + 1, from - 1));
        taps.weight.push_back(static_cast<float>(source - static_cast<double>(low)));
    }
    return taps;
}

} // namespace

ShapedArray resizeLatentBilinear(const ShapedArray& latent, int64_t height, int64_t width) {
    const Shape& shape = latent.shape();
    if (shape.size() != 4 || shape[0] != 1 || shape[2] < 1 || shape[3] < 1 || height < 1 ||
        width < 1) {
        throw std::invalid_argument("Only one latent [1, C, h, w] can be resized, to a size of "
                                    "at least 1 × 1.");
    }
    const int64_t channels = shape[1];
    const int64_t sourceHeight = shape[2];
    const int64_t sourceWidth = shape[3];
    const Taps rows = axisTaps(sourceHeight, height);
    const Taps columns = axisTaps(sourceWidth, width);
    ShapedArray resized(Shape{1, channels, height, width});
    for (int64_t c = 0; c < channels; ++c) {
        const float* plane = latent.data() + c * sourceHeight * sourceWidth;
        float* out = resized.data() + c * height * width;
        for (int64_t y = 0; y < height; ++y) {
            const float* top = plane + rows.low[y] * sourceWidth;
            const float* bottom = plane + rows.high[y] * sourceWidth;
            const float wy = rows.weight[y];
            for (int64_t x = 0; x < width; ++x) {
                const int64_t left = columns.low[x];
                const int64_t right = columns.high[x];
                const float wx = columns.weight[x];
                const float upper = top[left] + (top[right] - top[left]) * wx;
                const float lower = bottom[left] + (bottom[right] - bottom[left]) * wx;
                out[y * width + x] = upper + (lower - upper) * wy;
            }
        }
    }
    return resized;
}

} // namespace dravelin
