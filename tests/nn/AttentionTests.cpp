#include "nn/layers/AttentionKernels.h"
#include "nn/layers/AttentionTiles.h"
#include "nn/layers/ScaledDotProductAttention.h"
#include "nn/support/NetworkFixtures.h"
#include "nn/support/ReferenceLoops.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <iostream>
#include <vector>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

ShapedArray attend(const ShapedArray& q, const ShapedArray& k, const ShapedArray& v, int64_t heads,
                   bool causal) {
    const int64_t width = q.shape()[1];
    const ScaledDotProductAttention attention(heads, width / heads, q.shape()[0], k.shape()[0],
                                              causal, {width, width, width, width});
    ShapedArray output(q.shape());
    attention.forward(q.data(), k.data(), v.data(), output.data());
    return output;
}

} // namespace

TEST(AttentionTest, CausalSelfAttentionSeesNoLaterPosition) {
    std::mt19937 generator(8);
    const ShapedArray x = randomArray({19, 32}, generator, -2.0f, 2.0f);
    const ShapedArray k = randomArray({19, 32}, generator, -2.0f, 2.0f);
    const ShapedArray v = randomArray({19, 32}, generator);
    EXPECT_TRUE(closeTo(attend(x, k, v, 4, true), referenceAttention(x, k, v, 4, true), 1e-5f));
    EXPECT_TRUE(closeTo(attend(x, k, v, 4, false), referenceAttention(x, k, v, 4, false), 1e-5f));
}

TEST(AttentionTest, ReadsHeadsFromAFusedProjection) {
    // Queries, keys and values side by side in one [t, 3·width] matrix, as the
    // fused projection writes them.
    std::mt19937 generator(9);
    const int64_t length = 11, width = 24, heads = 3;
    const ShapedArray fused = randomArray({length, 3 * width}, generator, -2.0f, 2.0f);
    ShapedArray q(Shape{length, width}), k(Shape{length, width}), v(Shape{length, width});
    for (int64_t t = 0; t < length; ++t) {
        for (int64_t i = 0; i < width; ++i) {
            q.set({t, i}, fused.at({t, i}));
            k.set({t, i}, fused.at({t, width + i}));
            v.set({t, i}, fused.at({t, 2 * width + i}));
        }
    }
    const ScaledDotProductAttention attention(heads, width / heads, length, length, true,
                                              {3 * width, 3 * width, 3 * width, width});
    ShapedArray output(Shape{length, width});
    attention.forward(fused.data(), fused.data() + width, fused.data() + 2 * width, output.data());
    EXPECT_TRUE(closeTo(output, referenceAttention(q, k, v, heads, true), 1e-5f));
}

TEST(AttentionTest, CrossAttentionTakesAnotherKeyCount) {
    std::mt19937 generator(10);
    const ShapedArray q = randomArray({7, 16}, generator, -2.0f, 2.0f);
    const ShapedArray k = randomArray({23, 16}, generator, -2.0f, 2.0f);
    const ShapedArray v = randomArray({23, 16}, generator);
    EXPECT_TRUE(closeTo(attend(q, k, v, 2, false), referenceAttention(q, k, v, 2, false), 1e-5f));
}

TEST(AttentionTest, LongSequencesRunInChunksOfQueries) {
    // 4096 keys hold the scores to 512 queries at a time: 600 queries make a
    // full chunk and a remainder; 2100 causal ones shift the mask per chunk.
    std::mt19937 generator(11);
    const ShapedArray q = randomArray({600, 4}, generator, -3.0f, 3.0f);
    const ShapedArray k = randomArray({4096, 4}, generator, -3.0f, 3.0f);
    const ShapedArray v = randomArray({4096, 4}, generator);
    EXPECT_TRUE(closeTo(attend(q, k, v, 1, false), referenceAttention(q, k, v, 1, false), 1e-5f));

    const ShapedArray x = randomArray({2100, 4}, generator, -3.0f, 3.0f);
    const ShapedArray y = randomArray({2100, 4}, generator);
    EXPECT_TRUE(closeTo(attend(x, x, y, 1, true), referenceAttention(x, x, y, 1, true), 1e-5f));
}

namespace {

// Two key blocks of a running softmax in base 2, against plain double loops:
// the maxima, the sums over both blocks, the rescale factor and the second
// block's weights; and nothing written past a row's `count` values.
void checkRunningSoftmax(bool wide, bool narrow, int64_t count) {
    const int64_t rows = 3, stride = count + 7;
    const float sentinel = 12345.0f;
    std::mt19937 generator(static_cast<unsigned>(count));
    std::uniform_real_distribution<float> distribution(-20.0f, 20.0f);
    std::vector<float> first(static_cast<size_t>(rows * stride), sentinel);
    std::vector<float> second = first;
    for (int64_t r = 0; r < rows; ++r) {
        for (int64_t c = 0; c < count; ++c) {
            first[r * stride + c] = distribution(generator);
            // The second block raises the maximum of row 1 only.
            second[r * stride + c] = distribution(generator) + (r == 1 ? 15.0f : -15.0f);
        }
    }
    const std::vector<float> firstScores = first, secondScores = second;
    std::vector<float> maxima(rows, -1e30f), sums(rows, 0.0f), rescale(rows, 0.0f);
    std::vector<uint16_t> weights16(static_cast<size_t>(rows * stride), 0xABCD);
    for (std::vector<float>* scores : {&first, &second}) {
        const kernels::SoftmaxBlock block{scores->data(), rows,        count,
                                          stride,         maxima.data(), sums.data(),
                                          rescale.data(), narrow ? weights16.data() : nullptr};
        if (wide) {
            ASSERT_TRUE(kernels::runningSoftmaxStepWide(block));
        } else {
            kernels::runningSoftmaxStepPortable(block);
        }
    }
    for (int64_t r = 0; r < rows; ++r) {
        double m1 = -1e300, m2 = -1e300;
        for (int64_t c = 0; c < count; ++c) {
            m1 = std::max<double>(m1, firstScores[r * stride + c]);
            m2 = std::max<double>(m2, secondScores[r * stride + c]);
        }
        const double largest = std::max(m1, m2);
        // The kernels subtract in float32; the reference does the same, so
        // that only the exponential is checked.
        const auto exp2Of = [&](float score) {
            return std::exp2(static_cast<double>(score - static_cast<float>(largest)));
        };
        double sum = 0;
        for (int64_t c = 0; c < count; ++c) {
            sum += exp2Of(firstScores[r * stride + c]) + exp2Of(secondScores[r * stride + c]);
        }
        EXPECT_EQ(maxima[r], static_cast<float>(largest)) << "row " << r;
        EXPECT_NEAR(sums[r], sum, 1e-6 * sum) << "row " << r;
        EXPECT_NEAR(rescale[r], exp2Of(static_cast<float>(m1)), 1e-6) << "row " << r;
        for (int64_t c = 0; c < stride; ++c) {
            const size_t at = static_cast<size_t>(r * stride + c);
            if (c >= count) {
                EXPECT_EQ(second[at], sentinel) << "row " << r << " column " << c;
                EXPECT_EQ(weights16[at], 0xABCD) << "row " << r << " column " << c;
                continue;
            }
            const double expected = exp2Of(secondScores[at]);
            const double actual = narrow ? std::bit_cast<float>(uint32_t{weights16[at]} << 16)
                                         : second[at];
            EXPECT_NEAR(actual, expected, (narrow ? 4e-3 : 1e-6) * expected + 1e-37)
                << "row " << r << " column " << c;
        }
    }
}

} // namespace

TEST(AttentionKernelsTest, RunningSoftmaxMatchesPlainLoopsInEveryKernelAndWidth) {
    // Whole vectors, tails and a row shorter than one vector; float32 weights
    // in place and bfloat16 ones beside.
    const bool wide = kernels::runningSoftmaxStepWide({nullptr, 0, 0, 0, nullptr, nullptr, nullptr,
                                                       nullptr});
    for (const int64_t count : {1, 5, 16, 77, 100, 512}) {
        for (const bool narrow : {false, true}) {
            SCOPED_TRACE("count " + std::to_string(count) + (narrow ? " bfloat16" : " float32"));
            checkRunningSoftmax(false, narrow, count);
            if (wide) {
                checkRunningSoftmax(true, narrow, count);
            }
        }
    }
    if (!wide) {
        std::cout << "no AVX-512 BF16 here: only the portable softmax was checked\n";
    }
}

TEST(AttentionKernelsTest, LaggingSoftmaxKeepsItsMaximumUntilAScorePassesItByEight) {
    if (!kernels::laggingSoftmaxAvailable()) {
        GTEST_SKIP() << "no AVX-512 BF16 here: the tiles' softmax does not run";
    }
    // Two key blocks per row, against double loops. Row 0 rises by 3 in the
    // second block (the maximum stays), row 1 by 15 (it moves), row 2 sits
    // near 500 and row 3 falls.
    for (const int64_t count : {77, 128}) {
        SCOPED_TRACE("count " + std::to_string(count));
        const int64_t rows = 4, stride = 160;
        const float rise[rows] = {3.0f, 15.0f, 0.0f, -6.0f};
        const float base[rows] = {0.0f, 0.0f, 500.0f, 0.0f};
        std::mt19937 generator(static_cast<unsigned>(count));
        std::uniform_real_distribution<float> distribution(-4.0f, 4.0f);
        std::vector<float> blocks[2];
        for (int b = 0; b < 2; ++b) {
            blocks[b].assign(static_cast<size_t>(rows * stride), 0.0f);
            for (int64_t r = 0; r < rows; ++r) {
                for (int64_t c = 0; c < count; ++c) {
                    blocks[b][r * stride + c] =
                        base[r] + distribution(generator) + (b == 1 ? rise[r] : 0.0f);
                }
            }
        }
        std::vector<float> maxima(rows, kernels::kUnsetMaximum), lanes(16 * rows, 0.0f),
            rescale(rows, -1.0f);
        std::vector<uint16_t> weights(static_cast<size_t>(rows * stride), 0xABCD);
        std::vector<double> sums(rows, 0.0);
        for (int b = 0; b < 2; ++b) {
            const std::vector<float> kept = maxima;
            const bool moved = kernels::laggingSoftmaxStep({blocks[b].data(), rows, count, stride,
                                                            maxima.data(), lanes.data(),
                                                            rescale.data(), weights.data()});
            EXPECT_TRUE(moved) << "block " << b; // the first sets, row 1 moves in the second
            for (int64_t r = 0; r < rows; ++r) {
                SCOPED_TRACE("block " + std::to_string(b) + ", row " + std::to_string(r));
                const double maximum = maxima[r];
                if (b == 1) {
                    const bool stays = r != 1;
                    EXPECT_EQ(maxima[r] == kept[r], stays);
                    EXPECT_NEAR(rescale[r], std::exp2(double(kept[r]) - maximum),
                                1e-6 * rescale[r]);
                }
                sums[r] = sums[r] * (b == 1 ? double(rescale[r]) : 0.0);
                for (int64_t c = 0; c < stride; ++c) {
                    const uint16_t bits = weights[static_cast<size_t>(r * stride + c)];
                    if (c >= kernels::roundUp(count, 32)) {
                        EXPECT_EQ(bits, 0xABCD) << "column " << c;
                        continue;
                    }
                    const double actual = std::bit_cast<float>(uint32_t{bits} << 16);
                    if (c >= count) {
                        EXPECT_EQ(actual, 0.0) << "column " << c;
                        continue;
                    }
                    const double expected =
                        std::exp2(double(blocks[b][r * stride + c]) - maximum);
                    EXPECT_LE(expected, 256.0) << "column " << c;
                    EXPECT_NEAR(actual, expected, 4e-3 * expected) << "column " << c;
                    sums[r] += expected;
                }
                EXPECT_NEAR(kernels::laneTotal(lanes.data() + 16 * r), sums[r], 2e-4 * sums[r]);
            }
        }
    }
}

