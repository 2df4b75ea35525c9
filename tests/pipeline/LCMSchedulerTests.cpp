#include "schedulers/LCMScheduler.h"
#include "random/RandomSource.h"
#include "runtime/Safetensors.h"

#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <map>
#include <stdexcept>
#include <string>

using namespace dravelin;

// tools/reference/lora_reference.py lcm: diffusers' LCMScheduler (scaled-linear
// betas 0.00085 to 0.012, 1000 training steps, 50 original steps).

namespace {

std::map<std::string, ShapedArray> reference() {
    const SafetensorsFile file(std::filesystem::path(DRAVELIN_PIPELINE_FIXTURES) /
                               "LCMScheduler.safetensors");
    std::map<std::string, ShapedArray> arrays;
    for (const auto& [name, view] : file.tensors()) {
        arrays.emplace(name, toShapedArray(view));
    }
    return arrays;
}

// Hands out the noise diffusers drew, in order.
class ReplayedNoise : public RandomSource {
public:
    explicit ReplayedNoise(const std::map<std::string, ShapedArray>& arrays) {
        for (int k = 0; arrays.count("noise/" + std::to_string(k)) != 0; ++k) {
            for (float value : arrays.at("noise/" + std::to_string(k)).values()) {
                values_.push_back(value);
            }
        }
    }
    double nextNormal(double mean, double stdev) override {
        if (values_.empty()) {
            throw std::logic_error("more noise drawn than diffusers drew");
        }
        const double value = values_.front();
        values_.pop_front();
        return mean + stdev * value;
    }
    std::vector<double> normalArray(int64_t count, double mean, double stdev) override {
        std::vector<double> values;
        for (int64_t i = 0; i < count; ++i) {
            values.push_back(nextNormal(mean, stdev));
        }
        return values;
    }
    size_t left() const { return values_.size(); }

private:
    std::deque<double> values_;
};

float largestDifference(const ShapedArray& a, const ShapedArray& b) {
    float largest = 0.0f;
    for (int64_t i = 0; i < a.count(); ++i) {
        largest = std::max(largest, std::fabs(a.data()[i] - b.data()[i]));
    }
    return largest;
}

} // namespace

TEST(LCMSchedulerTest, TimestepsAreDiffusersForOneToEightSteps) {
    const auto expected = reference();
    for (int steps = 1; steps <= 8; ++steps) {
        std::vector<int> timesteps;
        for (float t : expected.at("timesteps/" + std::to_string(steps)).values()) {
            timesteps.push_back(static_cast<int>(t));
        }
        EXPECT_EQ(LCMScheduler(steps).timeSteps(), timesteps) << steps << " steps";
    }
    EXPECT_EQ(LCMScheduler(50).timeSteps().back(), 19);
    EXPECT_THROW(LCMScheduler(0), std::invalid_argument);
    EXPECT_THROW(LCMScheduler(51), std::invalid_argument);
}

TEST(LCMSchedulerTest, StepsMatchDiffusersAndEndOnTheDenoisedEstimate) {
    const auto expected = reference();
    LCMScheduler scheduler(4);
    auto noise = std::make_shared<ReplayedNoise>(expected);
    EXPECT_EQ(scheduler.initNoiseSigma(), 1.0f);
    ShapedArray sample = expected.at("sample/0");
    EXPECT_EQ(scheduler.scaleModelInput(sample, 999), sample);
    // Values reach about 45, where a float32 unit in the last place is 3.8e-6:
    // within three of diffusers.
    // Each step from diffusers' sample, so differences do not carry over.
    for (size_t k = 0; k < scheduler.timeSteps().size(); ++k) {
        const std::string step = std::to_string(k);
        const SchedulerStep taken =
            scheduler.step(expected.at("output/" + step), scheduler.timesteps()[k],
                           expected.at("sample/" + step), *noise);
        sample = taken.sample;
        const ShapedArray& denoised = expected.at("denoised/" + step);
        const ShapedArray& next = expected.at("sample/" + std::to_string(k + 1));
        ASSERT_EQ(scheduler.modelOutputs().size(), 1u);
        EXPECT_LT(largestDifference(scheduler.modelOutputs().back(), denoised), 1e-5f) << k;
        EXPECT_EQ(taken.denoised, scheduler.modelOutputs().back());
        EXPECT_LT(largestDifference(sample, next), 1e-5f) << k;
    }
    // Noise between steps only: three draws for four steps, none after the last.
    EXPECT_EQ(noise->left(), 0u);
    EXPECT_EQ(sample, scheduler.modelOutputs().back());

    // A timestep not in its schedule is refused rather than stepped from.
    LCMScheduler other(4);
    EXPECT_THROW(other.step(expected.at("output/0"), 998.0f, expected.at("sample/0"), *noise),
                 std::invalid_argument);
}
