#include "nn/compute/Matrix.h"

#include <algorithm>
#include <stdexcept>

namespace dravelin {

Matrix::Matrix(int64_t rows, int64_t columns)
    : rows_(rows), columns_(columns), storage_(static_cast<size_t>(rows * columns)) {
    if (rows < 1 || columns < 1) {
        throw std::invalid_argument("A matrix needs at least one row and one column.");
    }
}

ShapedArray Matrix::toShapedArray(Shape shape) const {
    ShapedArray array(std::move(shape));
    if (array.count() != rows_ * columns_) {
        throw std::invalid_argument("A " + std::to_string(rows_) + "×" + std::to_string(columns_) +
                                    " matrix cannot take the shape " + describe(array.shape()) +
                                    ".");
    }
    std::copy_n(data(), array.count(), array.data());
    return array;
}

} // namespace dravelin
