#include "schedulers/DPMSolverMultistepScheduler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

using namespace dravelin;

namespace {

ShapedArray filled(float value) {
    return ShapedArray(Shape{1, 4, 8, 8}, value);
}

// For each step k, whether the update read the estimate of step k − 1: two
// schedulers share everything but the output given at step k − 1, then take
// step k from the same sample with the same output. A first-order update only
// uses the newest estimate, so their results agree.
std::vector<int> orderOfEachStep(int stepCount) {
    std::vector<int> orders{1};
    const std::vector<int> timesteps = DPMSolverMultistepScheduler(stepCount).timeSteps();
    for (size_t k = 1; k < timesteps.size(); ++k) {
        DPMSolverMultistepScheduler a(stepCount);
        DPMSolverMultistepScheduler b(stepCount);
        for (size_t i = 0; i < k; ++i) {
            const bool last = i + 1 == k;
            a.step(filled(0.1f), timesteps[i], filled(1.0f));
            b.step(filled(last ? 0.4f : 0.1f), timesteps[i], filled(1.0f));
        }
        const ShapedArray fromA = a.step(filled(0.2f), timesteps[k], filled(1.0f));
        const ShapedArray fromB = b.step(filled(0.2f), timesteps[k], filled(1.0f));
        orders.push_back(fromA == fromB ? 1 : 2);
    }
    return orders;
}

} // namespace

TEST(DPMSolverMultistepScheduler, SpacingsGiveTheDocumentedTimesteps) {
    EXPECT_EQ(DPMSolverMultistepScheduler(20).timeSteps(),
              (std::vector<int>{999, 949, 899, 849, 799, 749, 699, 649, 599, 549,
                                500, 450, 400, 350, 300, 250, 200, 150, 100, 50}));
    EXPECT_EQ(DPMSolverMultistepScheduler(10).timeSteps(),
              (std::vector<int>{999, 899, 799, 699, 599, 500, 400, 300, 200, 100}));

    const DPMSolverMultistepScheduler leading(50, 1000, BetaSchedule::scaledLinear, 0.00085f,
                                              0.012f, TimeStepSpacing::leading);
    ASSERT_EQ(leading.timeSteps().size(), 50u);
    EXPECT_EQ(leading.timeSteps().front(), 951);
    EXPECT_EQ(leading.timeSteps()[1], 932);
    EXPECT_EQ(leading.timeSteps().back(), 20);
}

TEST(DPMSolverMultistepScheduler, KarrasSigmasReplaceThePerTimestepTables) {
    const DPMSolverMultistepScheduler karras(10, 1000, BetaSchedule::scaledLinear, 0.00085f, 0.012f,
                                             TimeStepSpacing::karras);
    EXPECT_TRUE(karras.usingKarrasSigmas());
    EXPECT_EQ(karras.timeSteps(), (std::vector<int>{999, 916, 815, 687, 523, 327, 146, 41, 7, 0}));
    ASSERT_EQ(karras.alpha_t().size(), 11u);
    EXPECT_EQ(karras.sigma_t()[10], karras.sigma_t()[9]);
    // alpha² + sigma² = 1 by construction.
    EXPECT_NEAR(karras.alpha_t()[3] * karras.alpha_t()[3] +
                    karras.sigma_t()[3] * karras.sigma_t()[3],
                1.0f, 1e-6f);

    // A one-step ramp is the start of the ramp: the largest sigma.
    const DPMSolverMultistepScheduler single(1, 1000, BetaSchedule::scaledLinear, 0.00085f, 0.012f,
                                             TimeStepSpacing::karras);
    EXPECT_EQ(single.timeSteps(), (std::vector<int>{999}));
    DPMSolverMultistepScheduler stepping = single;
    const ShapedArray out = stepping.step(filled(0.2f), 999, filled(1.0f));
    EXPECT_TRUE(std::isfinite(out.at({0, 0, 0, 0})));
}

TEST(DPMSolverMultistepScheduler, FirstTwoStepsMatchHandComputedValues) {
    // Worked out independently in NumPy float32/float64 from the update
    // formulas: sample 1, outputs 0.1 then 0.2, N = 10.
    DPMSolverMultistepScheduler scheduler(10);
    const ShapedArray first = scheduler.step(filled(0.1f), 999, filled(1.0f));
    EXPECT_FLOAT_EQ(first.at({0, 0, 0, 0}), 1.6761872f);
    const ShapedArray second = scheduler.step(filled(0.2f), 899, first);
    EXPECT_FLOAT_EQ(second.at({0, 3, 7, 7}), 2.5525773f);
    EXPECT_EQ(scheduler.lowerOrderStepped(), 2);
}

TEST(DPMSolverMultistepScheduler, OrderRuleByScheduleLength) {
    EXPECT_EQ(orderOfEachStep(10), (std::vector<int>{1, 2, 2, 2, 2, 2, 2, 2, 1, 1}));
    std::vector<int> twenty(20, 2);
    twenty[0] = 1;
    EXPECT_EQ(orderOfEachStep(20), twenty);
}

TEST(DPMSolverMultistepScheduler, HistoryAndUnknownTimesteps) {
    DPMSolverMultistepScheduler scheduler(10);
    ShapedArray sample = filled(1.0f);
    for (int t : scheduler.timeSteps()) {
        sample = scheduler.step(filled(0.1f), t, sample);
        EXPECT_LE(scheduler.modelOutputs().size(), 2u);
    }

    // A timestep that is not in the list is taken as the last step: a first
    // order step to timestep 0. With a zero noise prediction that step is
    // exact DDIM, x · α0 / α123.
    DPMSolverMultistepScheduler unknown(10);
    unknown.step(filled(0.1f), 999, filled(1.0f));
    const ShapedArray out = unknown.step(filled(0.0f), 123, filled(2.0f));
    EXPECT_NEAR(out.at({0, 0, 0, 0}), 2.0f * unknown.alpha_t()[0] / unknown.alpha_t()[123], 1e-5f);
}

TEST(DPMSolverMultistepScheduler, BadRequestsAreRefusedNotFatal) {
    EXPECT_THROW(DPMSolverMultistepScheduler(0), std::invalid_argument);
    EXPECT_NO_THROW(DPMSolverMultistepScheduler(1));

    DPMSolverMultistepScheduler scheduler(10);
    // Strength 0 would start at entry N, which this list does not have.
    EXPECT_THROW(scheduler.addNoise(filled(1.0f), {filled(0.0f)}, 0.0f), std::out_of_range);
    EXPECT_THROW(scheduler.step(filled(0.1f), 1000, filled(1.0f)), std::out_of_range);

    // Repeating the first timestep never reaches for an estimate before it.
    scheduler.step(filled(0.1f), 999, filled(1.0f));
    EXPECT_NO_THROW(scheduler.step(filled(0.1f), 999, filled(1.0f)));
}
