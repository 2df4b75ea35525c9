#include "nn/compute/FeatureMap.h"
#include "nn/layers/ChannelTransform.h"
#include "nn/layers/PixelTokens.h"
#include "nn/support/NetworkFixtures.h"
#include "nn/support/ReferenceLoops.h"

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

// Every frame value of every image is still zero (the convolutions read
// their padding from it).
bool frameIsZero(const FeatureMap& map) {
    for (int64_t n = 0; n < map.batch(); ++n) {
        for (int64_t y = -1; y <= map.height(); ++y) {
            for (int64_t x = -1; x <= map.width(); ++x) {
                const bool frame = y < 0 || y == map.height() || x < 0 || x == map.width();
                for (int64_t c = 0; frame && c < map.channels(); ++c) {
                    if (map.pixel(n, y, x)[c] != 0.0f) {
                        return false;
                    }
                }
            }
        }
    }
    return true;
}

} // namespace

TEST(PixelTokensTest, OneImageBecomesTokensInReadingOrderAndAddsBackInPlace) {
    std::mt19937 generator(31);
    const ShapedArray planar = randomArray({2, 3, 4, 5}, generator);
    FeatureMap map = FeatureMap::fromPlanar(planar);
    const ChannelTransform doubled = ChannelTransform::uniform(2, 3, 2.0f, 1.0f);
    std::vector<float> tokens(4 * 5 * 3);
    PixelTokens::gather(map, 1, doubled, tokens.data());
    for (int64_t y = 0; y < 4; ++y) {
        for (int64_t x = 0; x < 5; ++x) {
            for (int64_t c = 0; c < 3; ++c) {
                const float value = planar.data()[((3 + c) * 4 + y) * 5 + x];
                ASSERT_EQ(tokens[(y * 5 + x) * 3 + c], 2.0f * value + 1.0f);
            }
        }
    }
    PixelTokens::addInto(map, 1, tokens.data());
    ShapedArray expected = planar;
    for (int64_t i = planar.count() / 2; i < planar.count(); ++i) {
        expected.data()[i] += 2.0f * planar.data()[i] + 1.0f;
    }
    EXPECT_TRUE(closeTo(map.toPlanar(), expected, 0.0f));
    EXPECT_TRUE(frameIsZero(map));
    EXPECT_THROW(PixelTokens::addInto(map, 2, tokens.data()), std::out_of_range);
}

TEST(FeatureMapTest, PlanarResidualsAndChannelOrderReachTheRightPixels) {
    std::mt19937 generator(32);
    const ShapedArray planar = randomArray({2, 3, 4, 5}, generator);
    const ShapedArray residual = randomArray({2, 3, 4, 5}, generator);
    FeatureMap map = FeatureMap::fromPlanar(planar);
    map.addPlanar(residual);
    ShapedArray sum = planar;
    for (int64_t i = 0; i < sum.count(); ++i) {
        sum.data()[i] += residual.data()[i];
    }
    EXPECT_TRUE(closeTo(map.toPlanar(), sum, 0.0f));
    EXPECT_TRUE(frameIsZero(map));
    // A residual of another shape is refused, not read past its end.
    EXPECT_THROW(map.addPlanar(randomArray({2, 3, 5, 4}, generator)), std::invalid_argument);

    map.reverseChannels();
    const ShapedArray reversed = map.toPlanar();
    for (int64_t n = 0; n < 2; ++n) {
        for (int64_t c = 0; c < 3; ++c) {
            for (int64_t p = 0; p < 20; ++p) {
                ASSERT_EQ(reversed.data()[(n * 3 + c) * 20 + p],
                          sum.data()[(n * 3 + 2 - c) * 20 + p]);
            }
        }
    }
}
