#pragma once

#include "core/Shape.h"

#include <cstdint>
#include <span>
#include <vector>

namespace dravelin {

// A dense row-major array of 32-bit floats with a shape: the engine's currency
// for latents, embeddings, noise predictions and image tensors.
//
// A value type: copying copies the elements, moving is cheap. Element access
// through an index list is checked; data()/values() give unchecked bulk access
// for hot loops.
class ShapedArray {
public:
    // An array of shape [0] with no elements.
    ShapedArray();
    // Every element set to `fill`.
    explicit ShapedArray(Shape shape, float fill = 0.0f);
    // Takes the values in row-major order; their count must match the shape.
    ShapedArray(std::vector<float> values, Shape shape);

    // Rounds each double to the nearest float (random noise arrives as doubles).
    static ShapedArray fromDoubles(std::span<const double> values, Shape shape);

    // Joins arrays along `axis`; every other dimension must agree.
    static ShapedArray concatenate(std::span<const ShapedArray> arrays, int64_t axis);

    const Shape& shape() const { return shape_; }
    int64_t rank() const { return static_cast<int64_t>(shape_.size()); }
    int64_t count() const { return static_cast<int64_t>(values_.size()); }

    // Checked element access; throws std::out_of_range for a wrong index count
    // or an index outside its dimension.
    float at(std::span<const int64_t> index) const;
    float at(std::initializer_list<int64_t> index) const {
        return at(std::span<const int64_t>(index.begin(), index.size()));
    }
    void set(std::span<const int64_t> index, float value);
    void set(std::initializer_list<int64_t> index, float value) {
        set(std::span<const int64_t>(index.begin(), index.size()), value);
    }
    // Row-major offset of an index, checked as in at().
    int64_t offset(std::span<const int64_t> index) const;

    // Unchecked bulk access.
    float* data() { return values_.data(); }
    const float* data() const { return values_.data(); }
    std::span<float> values() { return values_; }
    std::span<const float> values() const { return values_; }
    // Gives the storage away, leaving this array empty.
    std::vector<float> takeValues() &&;

    // Equal when the shapes and every element compare equal.
    bool operator==(const ShapedArray& other) const = default;

private:
    Shape shape_;
    std::vector<float> values_;
};

} // namespace dravelin
