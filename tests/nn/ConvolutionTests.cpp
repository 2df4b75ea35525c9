#include "nn/layers/Convolution.h"
#include "nn/layers/GroupNorm.h"
#include "nn/support/NetworkFixtures.h"
#include "nn/support/ReferenceLoops.h"

#include <gtest/gtest.h>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

// float sums of a few hundred products against double ones.
constexpr float kTolerance = 2e-6f;

struct Case {
    int64_t batch, in, out, height, width;
    int kernel;
};

class ConvolutionTest : public ::testing::Test {
protected:
    std::mt19937 generator{7};

    ShapedArray weight(const Case& c) {
        return randomArray({c.out, c.in, c.kernel, c.kernel}, generator);
    }
    ShapedArray bias(const Case& c) { return randomArray({c.out}, generator); }
    ShapedArray input(const Case& c) {
        return randomArray({c.batch, c.in, c.height, c.width}, generator);
    }
};

bool frameIsZero(const FeatureMap& map) {
    for (int64_t n = 0; n < map.batch(); ++n) {
        for (int64_t y = -1; y <= map.height(); ++y) {
            for (int64_t x = -1; x <= map.width(); ++x) {
                if (y >= 0 && y < map.height() && x >= 0 && x < map.width()) {
                    continue;
                }
                for (int64_t c = 0; c < map.channels(); ++c) {
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

TEST_F(ConvolutionTest, StrideOneMatchesLoops) {
    // Odd, non-square sizes and channel counts no vector width divides; a
    // batch of two; and a wider case whose rows span several products.
    for (const Case& c : {Case{2, 5, 7, 13, 9, 3}, Case{1, 64, 40, 21, 30, 3},
                          Case{2, 6, 11, 7, 12, 1}, Case{1, 48, 24, 5, 3, 1}}) {
        const ShapedArray w = weight(c), b = bias(c), x = input(c);
        const Convolution convolution(w, b, 1, ConvolutionPadding{c.kernel / 2, c.kernel / 2});
        const FeatureMap map = FeatureMap::fromPlanar(x);
        const FeatureMap result = convolution.forward({map});
        EXPECT_TRUE(closeTo(result.toPlanar(),
                            referenceConvolution(x, w, b, 1, c.kernel / 2, c.kernel / 2),
                            kTolerance))
            << c.in << "→" << c.out << " " << c.height << "×" << c.width << " k" << c.kernel;
        EXPECT_TRUE(frameIsZero(result));
    }
}

TEST_F(ConvolutionTest, StrideTwoPadsOnlyWhereAsked) {
    // The VAE's downsampling pads right and bottom only (0, 1); the denoising
    // network's pads all sides (1, 1). Odd sizes lose a different row.
    for (const ConvolutionPadding padding : {ConvolutionPadding{0, 1}, ConvolutionPadding{1, 1}}) {
        for (const Case& c :
             {Case{2, 6, 5, 9, 9, 3}, Case{1, 8, 16, 10, 7, 3}, Case{1, 40, 24, 16, 16, 3}}) {
            const ShapedArray w = weight(c), b = bias(c), x = input(c);
            const Convolution convolution(w, b, 2, padding);
            const FeatureMap result = convolution.forward({FeatureMap::fromPlanar(x)});
            EXPECT_TRUE(closeTo(result.toPlanar(),
                                referenceConvolution(x, w, b, 2, padding.before, padding.after),
                                kTolerance))
                << "padding " << padding.before << "," << padding.after << " size " << c.height
                << "×" << c.width;
            EXPECT_TRUE(frameIsZero(result));
        }
    }
}

TEST_F(ConvolutionTest, NormalisesActivatesAndUpsamplesOnTheWayIn) {
    const Case c{2, 12, 9, 11, 6, 3};
    const ShapedArray w = weight(c), b = bias(c), x = input(c);
    const ShapedArray gamma = randomArray({c.in}, generator, 0.5f, 1.5f);
    const ShapedArray beta = randomArray({c.in}, generator);
    const GroupNorm norm(std::vector<float>(gamma.data(), gamma.data() + c.in),
                         std::vector<float>(beta.data(), beta.data() + c.in), 3, 1e-6f);
    const FeatureMap map = FeatureMap::fromPlanar(x);
    const ChannelTransform transform = norm.transform(map, Activation::silu);
    const ShapedArray activated = referenceSilu(referenceGroupNorm(x, 3, 1e-6f, gamma, beta));
    const Convolution convolution(w, b);

    EXPECT_TRUE(closeTo(convolution.forward({map, &transform}).toPlanar(),
                        referenceConvolution(activated, w, b, 1, 1, 1), kTolerance));
    EXPECT_TRUE(closeTo(convolution.forward({map, nullptr, true}).toPlanar(),
                        referenceConvolution(referenceUpsample(x), w, b, 1, 1, 1), kTolerance));
    const FeatureMap both = convolution.forward({map, &transform, true});
    EXPECT_TRUE(closeTo(both.toPlanar(),
                        referenceConvolution(referenceUpsample(activated), w, b, 1, 1, 1),
                        kTolerance));
    EXPECT_TRUE(frameIsZero(both));
}

TEST_F(ConvolutionTest, LargeMapsRunInBandsOfRows) {
    // A wide map, plain; then, upsampled, over the size laid out whole, so
    // that it goes a band of rows at a time: the bands' seams (rows read
    // twice, upsampled rows repeated across a seam) must not show.
    const Case c{1, 16, 8, 200, 206, 3};
    const ShapedArray w = weight(c), b = bias(c), x = input(c);
    const FeatureMap map = FeatureMap::fromPlanar(x);
    const Convolution convolution(w, b);
    ASSERT_TRUE(closeTo(convolution.forward({map}).toPlanar(),
                        referenceConvolution(x, w, b, 1, 1, 1), kTolerance));

    const ShapedArray gamma = randomArray({c.in}, generator, 0.5f, 1.5f);
    const ShapedArray beta = randomArray({c.in}, generator);
    const GroupNorm norm(std::vector<float>(gamma.data(), gamma.data() + c.in),
                         std::vector<float>(beta.data(), beta.data() + c.in), 4, 1e-6f);
    const ChannelTransform transform = norm.transform(map, Activation::silu);
    const ShapedArray residual = randomArray({1, c.out, 2 * c.height, 2 * c.width}, generator);
    FeatureMap sum = FeatureMap::fromPlanar(residual);
    convolution.accumulate({map, &transform, true}, sum);
    ShapedArray expected = referenceConvolution(
        referenceUpsample(referenceSilu(referenceGroupNorm(x, 4, 1e-6f, gamma, beta))), w, b, 1,
        1, 1);
    for (int64_t i = 0; i < expected.count(); ++i) {
        expected.data()[i] += residual.data()[i];
    }
    EXPECT_TRUE(closeTo(sum.toPlanar(), expected, kTolerance));
    EXPECT_TRUE(frameIsZero(sum));
}

TEST_F(ConvolutionTest, AccumulatesOntoAResidual) {
    const Case c{1, 8, 8, 9, 14, 3};
    const ShapedArray w = weight(c), b = bias(c), x = input(c);
    const ShapedArray residual = randomArray({1, 8, 9, 14}, generator);
    FeatureMap sum = FeatureMap::fromPlanar(residual);
    const Convolution convolution(w, b);
    convolution.accumulate({FeatureMap::fromPlanar(x)}, sum);

    ShapedArray expected = referenceConvolution(x, w, b, 1, 1, 1);
    for (int64_t i = 0; i < expected.count(); ++i) {
        expected.data()[i] += residual.data()[i];
    }
    EXPECT_TRUE(closeTo(sum.toPlanar(), expected, kTolerance));
    EXPECT_TRUE(frameIsZero(sum));
}

TEST_F(ConvolutionTest, RefusesMismatchedMaps) {
    const Case c{1, 4, 6, 8, 8, 3};
    const Convolution convolution(weight(c), bias(c));
    const FeatureMap wrongChannels(1, 5, 8, 8);
    EXPECT_THROW(convolution.forward({wrongChannels}), std::invalid_argument);
    FeatureMap wrongOutput(1, 6, 7, 8);
    EXPECT_THROW(convolution.accumulate({FeatureMap(1, 4, 8, 8)}, wrongOutput),
                 std::invalid_argument);
    EXPECT_THROW(Convolution(weight(c), bias(c), 1, ConvolutionPadding{0, 0}),
                 std::invalid_argument);
    EXPECT_THROW(Convolution(weight(c), randomArray({5}, generator)), std::invalid_argument);
}
