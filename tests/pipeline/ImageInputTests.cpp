// The pieces image inputs are built from: fitting an image to the
// generation size, and running a fixed-size network over a larger image in
// blended tiles.

#include "pipeline/ImageFitting.h"
#include "pipeline/InpaintingBlend.h"
#include "pipeline/LatentResize.h"
#include "pipeline/TiledEvaluation.h"
#include "schedulers/DDIMScheduler.h"
#include "schedulers/EulerDiscreteScheduler.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace dravelin;

namespace {

// Each cell repeated factor × factor times: what a decoder does to position.
ShapedArray enlarged(const ShapedArray& input, int64_t factor) {
    const Shape& s = input.shape();
    ShapedArray out(Shape{1, s[1], s[2] * factor, s[3] * factor});
    for (int64_t c = 0; c < s[1]; ++c) {
        for (int64_t y = 0; y < s[2] * factor; ++y) {
            for (int64_t x = 0; x < s[3] * factor; ++x) {
                out.data()[(c * s[2] * factor + y) * s[3] * factor + x] =
                    input.data()[(c * s[2] + y / factor) * s[3] + x / factor];
            }
        }
    }
    return out;
}

// The mean of each factor × factor block: what an encoder does to position.
ShapedArray shrunk(const ShapedArray& input, int64_t factor) {
    const Shape& s = input.shape();
    ShapedArray out(Shape{1, s[1], s[2] / factor, s[3] / factor});
    for (int64_t c = 0; c < s[1]; ++c) {
        for (int64_t y = 0; y < s[2]; ++y) {
            for (int64_t x = 0; x < s[3]; ++x) {
                out.data()[(c * (s[2] / factor) + y / factor) * (s[3] / factor) + x / factor] +=
                    input.data()[(c * s[2] + y) * s[3] + x] / static_cast<float>(factor * factor);
            }
        }
    }
    return out;
}

ShapedArray ramp(Shape shape) {
    ShapedArray array(std::move(shape));
    for (int64_t i = 0; i < array.count(); ++i) {
        array.data()[i] = std::sin(static_cast<float>(i) * 0.37f);
    }
    return array;
}

float largestDifference(const ShapedArray& a, const ShapedArray& b) {
    float worst = 0.0f;
    for (int64_t i = 0; i < a.count(); ++i) {
        worst = std::max(worst, std::fabs(a.data()[i] - b.data()[i]));
    }
    return worst;
}

} // namespace

// A network whose output at a point depends only on the input there gives
// the same result in tiles as in one pass: the tiles land where they belong
// and the blend weights add up to 1, for uneven sizes and both directions.
TEST(TiledEvaluation, TilesJoinWithoutSeamsInBothDirections) {
    int tiles = 0;
    const ShapedArray latents = ramp({1, 4, 21, 37});
    const ShapedArray decoded = evaluateInTiles(latents, 8, 8, 2, [&](const ShapedArray& tile) {
        ++tiles;
        EXPECT_EQ(tile.shape(), (Shape{1, 4, 8, 8}));
        return enlarged(tile, 8);
    });
    ASSERT_EQ(decoded.shape(), (Shape{1, 4, 168, 296}));
    EXPECT_LT(largestDifference(decoded, enlarged(latents, 8)), 1e-5f);
    EXPECT_EQ(tiles, 4 * 6); // strides of at most 8 − 2 cells

    const ShapedArray image = ramp({1, 3, 96, 72});
    const ShapedArray encoded = evaluateInTiles(image, 32, 32, 8, [](const ShapedArray& tile) {
        return shrunk(tile, 8);
    });
    ASSERT_EQ(encoded.shape(), (Shape{1, 3, 12, 9}));
    EXPECT_LT(largestDifference(encoded, shrunk(image, 8)), 1e-5f);

    EXPECT_THROW(evaluateInTiles(image, 128, 32, 8, [](const ShapedArray& t) { return t; }),
                 std::invalid_argument);
}

// The hires fix's latent enlargement samples as torch's bilinear
// interpolate does (align_corners false): expected values from torch 1.13
// for a 2 × 3 plane enlarged to 4 × 5, edges clamped.
TEST(LatentResize, MatchesTorchBilinearInterpolation) {
    const ShapedArray latent(std::vector<float>{0, 1, 4, 2, -3, 5}, Shape{1, 1, 2, 3});
    const ShapedArray resized = resizeLatentBilinear(latent, 4, 5);
    const std::vector<float> expected{0.0f, 0.4f,  1.0f,  2.8f,  4.0f,  0.5f, 0.3f,
                                      0.0f, 2.55f, 4.25f, 1.5f,  0.1f,  -2.0f, 2.05f,
                                      4.75f, 2.0f, 0.0f,  -3.0f, 1.8f,  5.0f};
    ASSERT_EQ(resized.shape(), (Shape{1, 1, 4, 5}));
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_NEAR(resized.data()[i], expected[i], 1e-5f) << i;
    }
}

TEST(ImageFitting, ScalesToCoverAndCropsTheCentre) {
    // Left half black, right half white, 40 × 10: fitted to 16 × 16 the
    // image is scaled to 64 × 16 and the middle 16 columns kept, so the edge
    // between the halves falls in the middle.
    std::vector<uint8_t> pixels(40 * 10 * 3);
    for (int y = 0; y < 10; ++y) {
        for (int x = 20; x < 40; ++x) {
            for (int c = 0; c < 3; ++c) {
                pixels[(y * 40 + x) * 3 + c] = 255;
            }
        }
    }
    const Image fitted = fitToSize(Image(40, 10, 3, AlphaKind::none, pixels), 16, 16);
    ASSERT_EQ(fitted.width(), 16);
    ASSERT_EQ(fitted.height(), 16);
    const auto red = [&](int x, int y) { return fitted.pixels()[(y * 16 + x) * 4]; };
    EXPECT_EQ(red(0, 8), 0);
    EXPECT_LT(red(6, 8), 30);
    EXPECT_GT(red(9, 8), 225);
    EXPECT_EQ(red(15, 8), 255);

    const Image same(16, 16, 3, AlphaKind::none, std::vector<uint8_t>(16 * 16 * 3, 9));
    EXPECT_EQ(fitToSize(same, 16, 16), same);
}

// The kept region is noised as each scheduler's own samples are: x + σ·n for
// a sigma scheduler (whose latents are not scaled by sqrt(ᾱ)), and
// sqrt(ᾱ_t)·x + sqrt(1 − ᾱ_t)·n at the evaluation's timestep otherwise.
TEST(InpaintingBlend, NoisesTheKeptImageToEachSchedulersNoiseLevel) {
    const ShapedArray original(Shape{1, 4, 2, 2}, 2.0f);
    const ShapedArray noise(Shape{1, 4, 2, 2}, 1.0f);

    const EulerDiscreteScheduler euler(4);
    for (size_t index = 0; index < euler.timesteps().size(); ++index) {
        const float sigma = euler.sigmas().at(index);
        EXPECT_NEAR(noisedTo(euler, original, noise, index).data()[3], 2.0f + sigma,
                    1e-4f * (1.0f + sigma))
            << "index " << index;
    }

    const DDIMScheduler ddim(4);
    for (size_t index = 0; index < ddim.timesteps().size(); ++index) {
        const float a =
            ddim.alphasCumProd().at(static_cast<size_t>(std::lround(ddim.timesteps()[index])));
        EXPECT_NEAR(noisedTo(ddim, original, noise, index).data()[3],
                    2.0f * std::sqrt(a) + std::sqrt(1.0f - a), 1e-5f)
            << "index " << index;
    }
    EXPECT_THROW(noisedTo(ddim, original, noise, ddim.timesteps().size()), std::out_of_range);
}
