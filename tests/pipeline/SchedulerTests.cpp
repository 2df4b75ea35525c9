#include "schedulers/PNDMScheduler.h"
#include "schedulers/Scheduler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

using namespace dravelin;

TEST(Linspace, EvenSpacingAndDegenerateCounts) {
    EXPECT_EQ(linspace(0, 1, 5), (std::vector<float>{0, 0.25f, 0.5f, 0.75f, 1}));
    EXPECT_TRUE(linspace(0, 1, 0).empty());
    EXPECT_TRUE(std::isnan(linspace(0, 1, 1).at(0)));
    EXPECT_THROW(linspace(0, 1, -1), std::invalid_argument);
}

TEST(NoiseTables, ScaledLinearStableDiffusionSchedule) {
    const NoiseTables tables =
        NoiseTables::make(1000, BetaSchedule::scaledLinear, 0.00085f, 0.012f);
    ASSERT_EQ(tables.betas.size(), 1000u);
    EXPECT_NEAR(tables.betas[0], 0.00085f, 1e-9f);
    EXPECT_NEAR(tables.betas[999], 0.012f, 1e-8f);
    EXPECT_FLOAT_EQ(tables.alphasCumProd[0], 0.99915f);
    // The familiar final ᾱ of Stable Diffusion's schedule.
    EXPECT_NEAR(tables.alphasCumProd[999], 0.0046600895f, 1e-9f);
    EXPECT_FLOAT_EQ(tables.alpha_t[999] * tables.alpha_t[999], tables.alphasCumProd[999]);
    EXPECT_FLOAT_EQ(tables.lambda_t[500],
                    std::log(tables.alpha_t[500]) - std::log(tables.sigma_t[500]));

    const NoiseTables linear = NoiseTables::make(3, BetaSchedule::linear, 0.1f, 0.3f);
    EXPECT_FLOAT_EQ(linear.betas[1], 0.2f);
    EXPECT_FLOAT_EQ(linear.alphasCumProd[2], 0.9f * 0.8f * 0.7f);
    EXPECT_THROW(NoiseTables::make(0, BetaSchedule::linear, 0.1f, 0.3f), std::invalid_argument);
}

TEST(SigmaToTimestep, InterpolatesAndClampsAtBothEnds) {
    const std::vector<float> logSigmas{std::log(1.0f), std::log(2.0f), std::log(4.0f),
                                       std::log(8.0f)};
    EXPECT_EQ(sigmaToTimestep(2.0f, logSigmas), 1);
    EXPECT_EQ(sigmaToTimestep(3.9f, logSigmas), 2);
    EXPECT_EQ(sigmaToTimestep(2.9f, logSigmas), 2); // log-linear: ln 2.9 is past the midpoint
    EXPECT_EQ(sigmaToTimestep(100.0f, logSigmas), 3);
    EXPECT_EQ(sigmaToTimestep(0.01f, logSigmas), 0);
    EXPECT_THROW(sigmaToTimestep(1.0f, {0.0f}), std::invalid_argument);
    EXPECT_THROW(sigmaToTimestep(std::numeric_limits<float>::quiet_NaN(), logSigmas),
                 std::domain_error);
}

TEST(WeightedSum, AddsScaledArraysInSinglePrecision) {
    const ShapedArray a({1, 2, 3}, Shape{3});
    const ShapedArray b({10, 20, 30}, Shape{3});
    EXPECT_EQ(weightedSum({1, 1}, {a, b}), ShapedArray({11, 22, 33}, Shape{3}));
    EXPECT_EQ(weightedSum({0.5, -2, 99}, {a, b}), ShapedArray({-19.5f, -39, -58.5f}, Shape{3}));
    // Weights are rounded to float before use.
    EXPECT_EQ(weightedSum({0.1}, {b}).at({0}), 0.1f * 10.0f);

    EXPECT_THROW(weightedSum({1}, {a, b}), std::invalid_argument);
    EXPECT_THROW(weightedSum({}, std::vector<std::reference_wrapper<const ShapedArray>>{}),
                 std::invalid_argument);
    const ShapedArray longer(Shape{4});
    EXPECT_THROW(weightedSum({1, 1}, {a, longer}), std::invalid_argument);
}

TEST(RoundingToIntegers, TiesAwayFromZeroAndNoSilentOverflow) {
    EXPECT_EQ(roundToInt(499.5f), 500);
    EXPECT_EQ(roundToInt(-2.5f), -3);
    EXPECT_EQ(truncateToInt(24.99f), 24);
    EXPECT_EQ(truncateToInt(-1.5f), -1);
    EXPECT_THROW(roundToInt(std::numeric_limits<float>::infinity()), std::domain_error);
    EXPECT_THROW(truncateToInt(3e9f), std::domain_error);
}

TEST(CalculateTimesteps, StrengthSelectsTheTail) {
    const PNDMScheduler scheduler(50);
    const std::vector<int>& all = scheduler.timeSteps();
    EXPECT_EQ(scheduler.calculateTimesteps(), all);
    EXPECT_EQ(scheduler.calculateTimesteps(1.0f), all);
    EXPECT_EQ(scheduler.calculateTimesteps(0.5f), std::vector<int>(all.begin() + 25, all.end()));
    // Strength 0 starts at index N, the last of PNDM's N + 1 entries.
    EXPECT_EQ(scheduler.calculateTimesteps(0.0f), std::vector<int>{1});
    EXPECT_EQ(scheduler.calculateTimesteps(2.0f), all); // start limited below by 0
    EXPECT_THROW(scheduler.calculateTimesteps(-1.0f), std::out_of_range);
    EXPECT_THROW(scheduler.calculateTimesteps(std::numeric_limits<float>::quiet_NaN()),
                 std::domain_error);
}

TEST(AddNoise, MixesSampleAndNoiseAtTheStartTimestep) {
    const PNDMScheduler scheduler(50);
    const ShapedArray original(Shape{1, 4, 2, 2}, 1.0f);
    const std::vector<ShapedArray> noise{ShapedArray(Shape{1, 4, 2, 2}, 0.0f),
                                         ShapedArray(Shape{1, 4, 2, 2}, 1.0f)};
    const std::vector<ShapedArray> noised = scheduler.addNoise(original, noise, 0.5f);
    ASSERT_EQ(noised.size(), 2u);
    const int t = scheduler.timeSteps()[25];
    const float a = scheduler.alphasCumProd()[static_cast<size_t>(t)];
    EXPECT_EQ(noised[0].at({0, 0, 0, 0}), std::sqrt(a));
    EXPECT_EQ(noised[1].at({0, 3, 1, 1}), std::sqrt(1.0f - a) * 1.0f + std::sqrt(a));
}
