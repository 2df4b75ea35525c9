#include "core/ShapedArray.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

using dravelin::Shape;
using dravelin::ShapedArray;

namespace {

ShapedArray iota(Shape shape, float start = 0.0f) {
    ShapedArray array(std::move(shape));
    for (int64_t i = 0; i < array.count(); ++i) {
        array.data()[i] = start + static_cast<float>(i);
    }
    return array;
}

} // namespace

TEST(ShapedArray, ConstructionChecksShapeAgainstValues) {
    ShapedArray filled(Shape{2, 3}, 1.5f);
    EXPECT_EQ(filled.count(), 6);
    EXPECT_EQ(filled.at({1, 2}), 1.5f);

    EXPECT_THROW(ShapedArray(std::vector<float>(5), Shape{2, 3}), std::invalid_argument);
    EXPECT_THROW(ShapedArray(Shape{2, -1}), std::invalid_argument);
    const int64_t big = std::numeric_limits<int64_t>::max() / 2;
    EXPECT_THROW(ShapedArray(Shape{big, 3}), std::overflow_error);

    // An empty shape is a scalar with one element.
    EXPECT_EQ(ShapedArray(Shape{}, 4.0f).count(), 1);
    EXPECT_EQ(dravelin::elementCount(Shape{3, 0, big, big}), 0);
}

TEST(ShapedArray, CheckedAccessRefusesOutOfRangeIndices) {
    ShapedArray array = iota({2, 3, 4});
    EXPECT_EQ(array.at({1, 2, 3}), 23.0f);
    array.set({0, 1, 2}, -7.0f);
    EXPECT_EQ(array.data()[6], -7.0f);

    EXPECT_THROW(array.at({2, 0, 0}), std::out_of_range);
    EXPECT_THROW(array.at({0, 0, -1}), std::out_of_range);
    EXPECT_THROW(array.at({0, 0}), std::out_of_range);
    EXPECT_THROW(array.set({0, 3, 0}, 1.0f), std::out_of_range);
}

TEST(ShapedArray, ConcatenatesAlongAnyAxis) {
    const ShapedArray a = iota({2, 2, 3}, 0.0f);   // 0 … 11
    const ShapedArray b = iota({2, 1, 3}, 100.0f); // 100 … 105

    const std::vector<ShapedArray> parts{a, b};
    const ShapedArray joined = ShapedArray::concatenate(parts, 1);
    EXPECT_EQ(joined.shape(), (Shape{2, 3, 3}));
    EXPECT_EQ(joined.at({0, 2, 1}), 101.0f);
    EXPECT_EQ(joined.at({1, 0, 0}), 6.0f);
    EXPECT_EQ(joined.at({1, 2, 2}), 105.0f);

    const std::vector<ShapedArray> batch{a, a};
    const ShapedArray stacked = ShapedArray::concatenate(batch, 0);
    EXPECT_EQ(stacked.shape(), (Shape{4, 2, 3}));
    EXPECT_EQ(stacked.at({2, 1, 2}), 5.0f);

    EXPECT_THROW(ShapedArray::concatenate(parts, 0), std::invalid_argument);
    EXPECT_THROW(ShapedArray::concatenate(parts, 3), std::out_of_range);
    EXPECT_THROW(ShapedArray::concatenate(std::vector<ShapedArray>{}, 0), std::invalid_argument);
}

TEST(ShapedArray, CopiesAreIndependentAndMovesLeaveAnEmptyArray) {
    ShapedArray original = iota({3});
    ShapedArray copy = original;
    copy.set({0}, 42.0f);
    EXPECT_EQ(original.at({0}), 0.0f);

    const float* storage = original.data();
    ShapedArray moved = std::move(original);
    EXPECT_EQ(moved.data(), storage);

    std::vector<float> values = std::move(moved).takeValues();
    EXPECT_EQ(values.size(), 3u);
    EXPECT_EQ(moved.count(), 0);
}

TEST(ShapedArray, FromDoublesRoundsToNearestFloat) {
    const std::vector<double> values{0.1, -1.0 / 3.0};
    const ShapedArray array = ShapedArray::fromDoubles(values, Shape{2});
    EXPECT_EQ(array.at({0}), 0.1f);
    EXPECT_EQ(array.at({1}), static_cast<float>(-1.0 / 3.0));
}
