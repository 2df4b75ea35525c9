#include "schedulers/PNDMScheduler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

using namespace dravelin;

namespace {

ShapedArray filled(float value) {
    return ShapedArray(Shape{1, 4, 8, 8}, value);
}

} // namespace

TEST(PNDMScheduler, TimestepListsRepeatTheSecondToLastBaseStep) {
    EXPECT_EQ(PNDMScheduler(2).timeSteps(), (std::vector<int>{501, 1, 1}));
    EXPECT_EQ(PNDMScheduler(3).timeSteps(), (std::vector<int>{667, 334, 334, 1}));

    const std::vector<int> fifty = PNDMScheduler(50).timeSteps();
    ASSERT_EQ(fifty.size(), 51u);
    EXPECT_EQ(std::vector<int>(fifty.begin(), fifty.begin() + 4),
              (std::vector<int>{981, 961, 961, 941}));
    EXPECT_EQ(fifty[49], 21);
    EXPECT_EQ(fifty[50], 1);
}

TEST(PNDMScheduler, RefusesStepCountsItCannotSchedule) {
    EXPECT_THROW(PNDMScheduler(1), std::invalid_argument);
    EXPECT_THROW(PNDMScheduler(0), std::invalid_argument);
    EXPECT_THROW(PNDMScheduler(-5), std::invalid_argument);
    EXPECT_THROW(PNDMScheduler(1001), std::invalid_argument);
    // Offset by one, 1000 steps would end on timestep 1000, past the tables.
    EXPECT_THROW(PNDMScheduler(1000), std::invalid_argument);
    EXPECT_EQ(PNDMScheduler(999).timeSteps().front(), 999);
}

TEST(PNDMScheduler, WarmUpStepsMatchHandComputedValues) {
    // Values worked out independently in NumPy float32 from the schedule's
    // formulas: sample 1, outputs 0.1 then 0.3.
    PNDMScheduler scheduler(50);
    const ShapedArray first = scheduler.step(filled(0.1f), 981, filled(1.0f));
    EXPECT_FLOAT_EQ(first.at({0, 0, 0, 0}), 1.1105266f);
    ASSERT_EQ(scheduler.modelOutputs().size(), 1u);
    EXPECT_FLOAT_EQ(scheduler.modelOutputs()[0].at({0, 2, 3, 4}), 11.846435f);

    // The second call restarts from the saved sample, whatever it is handed,
    // with the average of both outputs.
    const ShapedArray second = scheduler.step(filled(0.3f), 961, filled(123.0f));
    EXPECT_FLOAT_EQ(second.at({0, 1, 7, 7}), 1.0982013f);
    EXPECT_EQ(scheduler.ets().size(), 1u);
}

TEST(PNDMScheduler, HistoryStaysBoundedAndTheLastStepUsesTheFirstTableEntry) {
    PNDMScheduler scheduler(50);
    ShapedArray sample = filled(0.5f);
    for (int t : scheduler.timeSteps()) {
        sample = scheduler.step(filled(0.01f), t, sample);
        EXPECT_LE(scheduler.ets().size(), 4u);
    }
    EXPECT_EQ(scheduler.counter(), 51);
    EXPECT_EQ(scheduler.modelOutputs().size(), 51u);
    EXPECT_TRUE(std::isfinite(sample.at({0, 0, 0, 0})));

    // A zero noise prediction at the last step (1 → prev −19, read as 0)
    // scales the sample by sqrt(ᾱ0 / ᾱ1).
    PNDMScheduler last(50);
    for (int i = 0; i < 50; ++i) {
        last.step(filled(0.0f), last.timeSteps()[static_cast<size_t>(i)], filled(1.0f));
    }
    const ShapedArray out = last.step(filled(0.0f), 1, filled(1.0f));
    const float expected = std::sqrt(last.alphasCumProd()[0] / last.alphasCumProd()[1]);
    EXPECT_EQ(out.at({0, 0, 0, 0}), expected);
}

TEST(PNDMScheduler, BadStepsAreRefused) {
    PNDMScheduler scheduler(50);
    EXPECT_THROW(scheduler.step(filled(0.0f), 1000, filled(1.0f)), std::out_of_range);
    EXPECT_THROW(scheduler.step(ShapedArray(Shape{1, 4, 2, 2}), 981, filled(1.0f)),
                 std::invalid_argument);
}
