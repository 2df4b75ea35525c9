#include "nn/layers/ScaledDotProductAttention.h"
#include "nn/support/NetworkFixtures.h"
#include "nn/support/ReferenceLoops.h"

#include <gtest/gtest.h>

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
