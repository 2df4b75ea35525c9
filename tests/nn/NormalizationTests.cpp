#include "nn/compute/FeatureMap.h"
#include "nn/layers/GroupNorm.h"
#include "nn/layers/LayerNorm.h"
#include "nn/support/NetworkFixtures.h"
#include "nn/support/ReferenceLoops.h"

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

std::vector<float> valuesOf(const ShapedArray& array) {
    return {array.data(), array.data() + array.count()};
}

ShapedArray normalized(const GroupNorm& norm, const ShapedArray& input, Activation activation) {
    FeatureMap map = FeatureMap::fromPlanar(input);
    norm.transform(map, activation).applyInPlace(map);
    return map.toPlanar();
}

} // namespace

TEST(GroupNormTest, NormalisesEachImageAndGroupOnItsOwn) {
    std::mt19937 generator(3);
    // Two images on different scales: statistics must not mix across images,
    // and with 4 channels per group not across groups either.
    ShapedArray input = randomArray({2, 12, 7, 5}, generator);
    for (int64_t i = input.count() / 2; i < input.count(); ++i) {
        input.data()[i] = 5.0f * input.data()[i] + 2.0f;
    }
    const ShapedArray gamma = randomArray({12}, generator, 0.5f, 1.5f);
    const ShapedArray beta = randomArray({12}, generator);
    const GroupNorm norm(valuesOf(gamma), valuesOf(beta), 3, 1e-6f);
    const ShapedArray expected = referenceGroupNorm(input, 3, 1e-6f, gamma, beta);
    EXPECT_TRUE(closeTo(normalized(norm, input, Activation::identity), expected, 1e-5f));
    EXPECT_TRUE(closeTo(normalized(norm, input, Activation::silu), referenceSilu(expected), 1e-5f));
}

TEST(GroupNormTest, KeepsTheVarianceOfValuesFarFromZero) {
    // A mean 300 times the spread: sums of squares in single precision would
    // leave nothing of the variance.
    std::mt19937 generator(4);
    ShapedArray input = randomArray({1, 8, 64, 64}, generator, 299.0f, 301.0f);
    const ShapedArray gamma(Shape{8}, 1.0f);
    const ShapedArray beta(Shape{8}, 0.0f);
    const GroupNorm norm(valuesOf(gamma), valuesOf(beta), 2, 1e-6f);
    EXPECT_TRUE(closeTo(normalized(norm, input, Activation::identity),
                        referenceGroupNorm(input, 2, 1e-6f, gamma, beta), 1e-4f));
}

TEST(GroupNormTest, PerImageOffsetsNormaliseAsIfAddedToTheMap) {
    // A ResNet block's time embedding: each image's channels move by their
    // own amounts, unevenly within a group, so the group's variance changes
    // too; the transform must then apply to the map without the offsets.
    std::mt19937 generator(8);
    const ShapedArray input = randomArray({2, 8, 6, 5}, generator);
    const ShapedArray offsets = randomArray({2, 8}, generator, -3.0f, 3.0f);
    const ShapedArray gamma = randomArray({8}, generator, 0.5f, 1.5f);
    const ShapedArray beta = randomArray({8}, generator);
    ShapedArray shifted = input;
    const int64_t plane = 6 * 5;
    for (int64_t i = 0; i < shifted.count(); ++i) {
        shifted.data()[i] += offsets.data()[i / plane];
    }
    const GroupNorm norm(valuesOf(gamma), valuesOf(beta), 2, 1e-6f);
    FeatureMap map = FeatureMap::fromPlanar(input);
    norm.transform(map, Activation::silu, offsets.data()).applyInPlace(map);
    EXPECT_TRUE(closeTo(map.toPlanar(),
                        referenceSilu(referenceGroupNorm(shifted, 2, 1e-6f, gamma, beta)), 1e-5f));
}

TEST(GroupNormTest, RefusesGroupsThatDoNotDivideTheChannels) {
    EXPECT_THROW(GroupNorm(std::vector<float>(6, 1.0f), std::vector<float>(6, 0.0f), 4, 1e-6f),
                 std::invalid_argument);
}

TEST(LayerNormTest, NormalisesEachRow) {
    std::mt19937 generator(5);
    ShapedArray input = randomArray({9, 48}, generator, -3.0f, 5.0f);
    const ShapedArray gamma = randomArray({48}, generator, 0.5f, 1.5f);
    const ShapedArray beta = randomArray({48}, generator);
    const LayerNorm norm(gamma, beta, 9, 1e-5f);
    ShapedArray output(input.shape());
    norm.forward(input.data(), output.data());
    EXPECT_TRUE(closeTo(output, referenceLayerNorm(input, 1e-5f, gamma, beta), 1e-5f));
}
