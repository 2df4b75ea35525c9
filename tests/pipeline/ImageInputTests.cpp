// The pieces image inputs are built from: fitting an image to the
// generation size, enlarging latents, blending an inpainted region.

#include "pipeline/ImageFitting.h"
#include "pipeline/InpaintingBlend.h"
#include "pipeline/LatentResize.h"
#include "schedulers/DDIMScheduler.h"
#include "schedulers/EulerDiscreteScheduler.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace dravelin;

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
