#include "core/ShapedArray.h"

#include <algorithm>
#include <stdexcept>

namespace dravelin {

ShapedArray::ShapedArray() : shape_{0} {}

ShapedArray::ShapedArray(Shape shape, float fill)
    : shape_(std::move(shape)), values_(static_cast<size_t>(elementCount(shape_)), fill) {}

ShapedArray::ShapedArray(std::vector<float> values, Shape shape)
    : shape_(std::move(shape)), values_(std::move(values)) {
    if (elementCount(shape_) != static_cast<int64_t>(values_.size())) {
        throw std::invalid_argument("Cannot shape " + std::to_string(values_.size()) +
                                    " values as " + describe(shape_) + ".");
    }
}

ShapedArray ShapedArray::fromDoubles(std::span<const double> values, Shape shape) {
    std::vector<float> narrowed(values.size());
    std::transform(values.begin(), values.end(), narrowed.begin(),
                   [](double value) { return static_cast<float>(value); });
    return ShapedArray(std::move(narrowed), std::move(shape));
}

ShapedArray ShapedArray::concatenate(std::span<const ShapedArray> arrays, int64_t axis) {
    if (arrays.empty()) {
        throw std::invalid_argument("Cannot concatenate an empty list of arrays.");
    }
    const Shape& first = arrays.front().shape();
    if (axis < 0 || axis >= static_cast<int64_t>(first.size())) {
        throw std::out_of_range("Axis " + std::to_string(axis) + " is outside shape " +
                                describe(first) + ".");
    }
    Shape joined = first;
    joined[axis] = 0;
    for (const ShapedArray& array : arrays) {
        const Shape& shape = array.shape();
        bool compatible = shape.size() == first.size();
        for (size_t d = 0; compatible && d < shape.size(); ++d) {
            compatible = static_cast<int64_t>(d) == axis || shape[d] == first[d];
        }
        if (!compatible) {
            throw std::invalid_argument("Cannot concatenate " + describe(shape) + " with " +
                                        describe(first) + " along axis " + std::to_string(axis) +
                                        ".");
        }
        joined[axis] += shape[axis];
    }

    // Each array contributes one contiguous run per index of the outer axes.
    int64_t outer = 1;
    for (int64_t d = 0; d < axis; ++d) {
        outer *= first[d];
    }
    int64_t inner = 1;
    for (size_t d = static_cast<size_t>(axis) + 1; d < first.size(); ++d) {
        inner *= first[d];
    }
    std::vector<float> values(static_cast<size_t>(elementCount(joined)));
    float* out = values.data();
    for (int64_t o = 0; o < outer; ++o) {
        for (const ShapedArray& array : arrays) {
            int64_t run = array.shape()[axis] * inner;
            const float* in = array.data() + o * run;
            out = std::copy(in, in + run, out);
        }
    }
    return ShapedArray(std::move(values), std::move(joined));
}

int64_t ShapedArray::offset(std::span<const int64_t> index) const {
    if (index.size() != shape_.size()) {
        throw std::out_of_range("Index of rank " + std::to_string(index.size()) +
                                " used on an array of shape " + describe(shape_) + ".");
    }
    int64_t offset = 0;
    for (size_t d = 0; d < shape_.size(); ++d) {
        if (index[d] < 0 || index[d] >= shape_[d]) {
            throw std::out_of_range("Index " + std::to_string(index[d]) + " of dimension " +
                                    std::to_string(d) + " is outside shape " + describe(shape_) +
                                    ".");
        }
        offset = offset * shape_[d] + index[d];
    }
    return offset;
}

float ShapedArray::at(std::span<const int64_t> index) const {
    return values_[static_cast<size_t>(offset(index))];
}

void ShapedArray::set(std::span<const int64_t> index, float value) {
    values_[static_cast<size_t>(offset(index))] = value;
}

std::vector<float> ShapedArray::takeValues() && {
    shape_ = Shape{0};
    return std::move(values_);
}

} // namespace dravelin
