#pragma once

#include "core/ShapedArray.h"
#include "nn/compute/AlignedBuffer.h"

#include <cstdint>

namespace dravelin {

// A dense row-major matrix of floats: a sequence of token vectors, one per
// row, as the transformer layers pass them along.
class Matrix {
public:
    Matrix() = default;
    Matrix(int64_t rows, int64_t columns);

    int64_t rows() const { return rows_; }
    int64_t columns() const { return columns_; }
    float* data() { return storage_.data(); }
    const float* data() const { return storage_.data(); }
    float* row(int64_t index) { return storage_.data() + index * columns_; }
    const float* row(int64_t index) const { return storage_.data() + index * columns_; }

    // A copy as a ShapedArray of the given shape (same element count).
    ShapedArray toShapedArray(Shape shape) const;

private:
    int64_t rows_ = 0;
    int64_t columns_ = 0;
    AlignedBuffer storage_;
};

} // namespace dravelin
