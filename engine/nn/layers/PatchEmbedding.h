#pragma once

#include "core/ShapedArray.h"
#include "nn/layers/Linear.h"

#include <cstdint>

namespace dravelin {

// A vision transformer's input layer: the image cut into a grid of square
// patches, each embedded by the patch convolution (its stride equals its
// kernel, so it is one matrix product over the flattened patches), a class
// token in front, and the position embeddings added to every row.
class PatchEmbedding {
public:
    // kernel [hidden, channels, patch, patch], classToken [hidden], positions
    // [1 + grid², hidden].
    PatchEmbedding(ShapedArray kernel, ShapedArray classToken, ShapedArray positions, int64_t grid);

    int64_t hidden() const { return classToken_.count(); }
    // The class token's row and one row per patch.
    int64_t rows() const { return 1 + grid_ * grid_; }

    // `pixels`: one image, channels × height × width, at least grid patches
    // per side (a remainder is dropped, as the strided convolution drops
    // it). `output`: rows() × hidden(), the class token first, then the
    // patches in row-major order of the grid.
    void forward(const float* pixels, int64_t height, int64_t width, float* output) const;

private:
    int64_t channels_;
    int64_t patch_;
    int64_t grid_;
    ShapedArray classToken_;
    ShapedArray positions_;
    Linear product_;
};

} // namespace dravelin
