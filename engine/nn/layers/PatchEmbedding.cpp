#include "nn/layers/PatchEmbedding.h"

#include "nn/compute/AlignedBuffer.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

// The kernel [hidden, channels, patch, patch] as the [hidden, channels ·
// patch · patch] weight of a product over flattened patches.
ShapedArray flattened(ShapedArray kernel) {
    if (kernel.rank() != 4 || kernel.shape()[2] != kernel.shape()[3]) {
        throw std::invalid_argument("A patch embedding takes a square convolution kernel, not " +
                                    describe(kernel.shape()) + ".");
    }
    const Shape shape = kernel.shape();
    return ShapedArray(std::move(kernel).takeValues(),
                       Shape{shape[0], shape[1] * shape[2] * shape[3]});
}

int64_t checkedGrid(int64_t grid) {
    if (grid < 1) {
        throw std::invalid_argument("A patch embedding needs at least one patch per side.");
    }
    return grid;
}

} // namespace

PatchEmbedding::PatchEmbedding(ShapedArray kernel, ShapedArray classToken, ShapedArray positions,
                               int64_t grid)
    : channels_(kernel.rank() == 4 ? kernel.shape()[1] : 0),
      patch_(kernel.rank() == 4 ? kernel.shape()[2] : 0), grid_(checkedGrid(grid)),
      classToken_(std::move(classToken)), positions_(std::move(positions)),
      product_(flattened(std::move(kernel)), std::nullopt, grid * grid) {
    if (classToken_.count() != product_.outFeatures() ||
        positions_.shape() != Shape{rows(), product_.outFeatures()}) {
        throw std::invalid_argument(
            "A patch embedding of " + std::to_string(product_.outFeatures()) +
            " features got a class token of " + describe(classToken_.shape()) +
            " and positions of " + describe(positions_.shape()) + ".");
    }
}

void PatchEmbedding::forward(const float* pixels, int64_t height, int64_t width,
                             float* output) const {
    if (height < grid_ * patch_ || width < grid_ * patch_) {
        throw std::invalid_argument("An image of " + std::to_string(width) + " × " +
                                    std::to_string(height) + " pixels holds fewer than " +
                                    std::to_string(grid_) + " patches per side.");
    }
    // The patches as rows of (channel, row, column) values, the order the
    // kernel flattens to.
    const int64_t patchValues = channels_ * patch_ * patch_;
    AlignedBuffer patches(static_cast<size_t>(grid_ * grid_ * patchValues));
    for (int64_t gy = 0; gy < grid_; ++gy) {
        for (int64_t gx = 0; gx < grid_; ++gx) {
            float* row = patches.data() + (gy * grid_ + gx) * patchValues;
            for (int64_t c = 0; c < channels_; ++c) {
                for (int64_t y = 0; y < patch_; ++y) {
                    const float* source =
                        pixels + (c * height + gy * patch_ + y) * width + gx * patch_;
                    std::copy_n(source, patch_, row + (c * patch_ + y) * patch_);
                }
            }
        }
    }
    const int64_t hidden = this->hidden();
    std::copy_n(classToken_.data(), hidden, output);
    product_.forward(patches.data(), output + hidden);
    const float* position = positions_.data();
    for (int64_t i = 0; i < rows() * hidden; ++i) {
        output[i] += position[i];
    }
}

} // namespace dravelin
