#include "pipeline/StableDiffusionPipelineProtocol.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace dravelin;

TEST(Guidance, CombinesUnconditionalAndConditionalHalves) {
    ShapedArray prediction(Shape{2, 4, 64, 64});
    const int64_t half = prediction.count() / 2;
    for (int64_t i = 0; i < half; ++i) {
        prediction.data()[i] = 0.1f;
        prediction.data()[half + i] = 0.3f;
    }
    const ShapedArray guided = performGuidance(prediction, 7.5f);
    EXPECT_EQ(guided.shape(), (Shape{1, 4, 64, 64}));
    // Subtract, multiply, add: each rounded to float on its own.
    const float expected = 0.1f + (0.3f - 0.1f) * 7.5f;
    EXPECT_EQ(guided.at({0, 3, 63, 63}), expected);
    EXPECT_NEAR(expected, 1.6f, 1e-6f);

    prediction.set({0, 0, 0, 0}, -2.0f);
    prediction.set({1, 0, 0, 0}, 5.0f);
    EXPECT_EQ(performGuidance(prediction, 1.0f).at({0, 0, 0, 0}), 5.0f);
    EXPECT_EQ(performGuidance(prediction, 0.0f).at({0, 0, 0, 0}), -2.0f);
}

TEST(Guidance, ListFormKeepsOrderAndShortBatchesAreRefused) {
    const std::vector<ShapedArray> predictions{ShapedArray({1, 2, 3, 4}, Shape{2, 2}),
                                               ShapedArray({5, 6, 9, 10}, Shape{2, 2})};
    const std::vector<ShapedArray> guided = performGuidance(predictions, 2.0f);
    ASSERT_EQ(guided.size(), 2u);
    EXPECT_EQ(guided[0], ShapedArray({5, 6}, Shape{1, 2}));
    EXPECT_EQ(guided[1], ShapedArray({13, 14}, Shape{1, 2}));

    EXPECT_THROW(performGuidance(ShapedArray(Shape{1, 4}), 7.5f), std::invalid_argument);
}

TEST(HiddenStates, MovesChannelsAheadOfTheSequence) {
    ShapedArray embeddings(Shape{2, 77, 768});
    for (int64_t i = 0; i < embeddings.count(); ++i) {
        embeddings.data()[i] = static_cast<float>(i);
    }
    const ShapedArray hidden = toHiddenStates(embeddings);
    EXPECT_EQ(hidden.shape(), (Shape{2, 768, 1, 77}));
    EXPECT_EQ(hidden.at({1, 5, 0, 9}), embeddings.at({1, 9, 5}));
    EXPECT_EQ(hidden.at({0, 767, 0, 76}), embeddings.at({0, 76, 767}));

    EXPECT_THROW(toHiddenStates(ShapedArray(Shape{77, 768})), std::invalid_argument);
}
