// The new schedulers against diffusers 0.25 (tools/reference/scheduler_reference.py):
// each class built from SD 1.5's scheduler configuration, with its own spacing
// or the one a case names, stepped ten times on fixed network outputs. Every
// step starts from diffusers' sample, so differences do not carry over.

#include "random/RandomSource.h"
#include "pipeline/SchedulerTable.h"
#include "runtime/Safetensors.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <map>
#include <stdexcept>
#include <string>

using namespace dravelin;

namespace {

using Arrays = std::map<std::string, ShapedArray>;

const Arrays& reference() {
    static const Arrays arrays = [] {
        const SafetensorsFile file(std::filesystem::path(DRAVELIN_PIPELINE_FIXTURES) /
                                   "Schedulers.safetensors");
        Arrays read;
        for (const auto& [name, view] : file.tensors()) {
            read.emplace(name, toShapedArray(view));
        }
        return read;
    }();
    return arrays;
}

// Hands out one array diffusers drew per call, refusing any other count.
class ReplayedNoise : public RandomSource {
public:
    void add(const ShapedArray& noise) { pending_.push_back(noise); }
    double nextNormal(double, double) override {
        throw std::logic_error("a scheduler drew a single value");
    }
    std::vector<double> normalArray(int64_t count, double mean, double stdev) override {
        if (pending_.empty() || pending_.front().count() != count) {
            throw std::logic_error("a scheduler drew noise diffusers did not");
        }
        std::vector<double> values;
        for (float value : pending_.front().values()) {
            values.push_back(mean + stdev * value);
        }
        pending_.pop_front();
        return values;
    }
    size_t left() const { return pending_.size(); }

private:
    std::deque<ShapedArray> pending_;
};

// Largest difference relative to the expected magnitude (at least 1).
float difference(const ShapedArray& actual, const ShapedArray& expected) {
    EXPECT_EQ(actual.shape(), expected.shape());
    float largest = 0.0f;
    for (int64_t i = 0; i < std::min(actual.count(), expected.count()); ++i) {
        const float e = expected.data()[i];
        largest = std::max(largest, std::fabs(actual.data()[i] - e) / std::max(1.0f, std::fabs(e)));
    }
    return largest;
}

struct Case {
    std::string scheduler;
    std::optional<std::string> spacing;
};

class AgainstDiffusers : public ::testing::TestWithParam<Case> {};

TEST_P(AgainstDiffusers, TimestepsNoiseLevelAndEveryStep) {
    const Case& param = GetParam();
    const std::string key = param.scheduler + (param.spacing ? "+" + *param.spacing : "");
    const Arrays& expected = reference();
    const SchedulerEntry* entry = schedulerNamed(param.scheduler);
    ASSERT_NE(entry, nullptr);
    PipelineConfiguration c("");
    c.schedulerType = entry->type;
    c.stepCount = 10;
    c.schedulerTimestepSpacing =
        param.spacing ? *spacingNamed(*param.spacing) : entry->defaultSpacing;
    const std::unique_ptr<Scheduler> scheduler = entry->make(c);

    const std::vector<float> timesteps = scheduler->timesteps();
    const std::span<const float> wanted = expected.at(key + "/timesteps").values();
    ASSERT_EQ(timesteps.size(), wanted.size());
    for (size_t k = 0; k < wanted.size(); ++k) {
        EXPECT_NEAR(timesteps[k], wanted[k], 2e-3) << key << " timestep " << k;
    }
    const float sigma = expected.at(key + "/init_noise_sigma").values()[0];
    EXPECT_NEAR(scheduler->initNoiseSigma(), sigma, 1e-5 * sigma) << key;

    ReplayedNoise noise;
    for (size_t k = 0; k < timesteps.size(); ++k) {
        const auto get = [&](const std::string& what) -> const ShapedArray* {
            const auto found = expected.find(key + "/" + what + "/" + std::to_string(k));
            return found == expected.end() ? nullptr : &found->second;
        };
        if (const ShapedArray* drawn = get("noise")) {
            noise.add(*drawn);
        }
        const ShapedArray& sample = *get("sample");
        EXPECT_LT(difference(scheduler->scaleModelInput(sample, timesteps[k]), *get("input")), 2e-5)
            << key << " input " << k;
        const SchedulerStep step = scheduler->step(*get("output"), timesteps[k], sample, noise);
        EXPECT_LT(difference(step.sample, *get("next")), 5e-5) << key << " step " << k;
        if (const ShapedArray* denoised = get("denoised")) {
            EXPECT_LT(difference(step.denoised, *denoised), 5e-5) << key << " estimate " << k;
        }
    }
    EXPECT_EQ(noise.left(), 0u) << key << ": noise diffusers drew was not used";
}

INSTANTIATE_TEST_SUITE_P(
    Schedulers, AgainstDiffusers,
    ::testing::Values(Case{"euler", {}}, Case{"euler", "karras"}, Case{"euler", "leading"},
                      Case{"euler-a", {}}, Case{"euler-a", "trailing"}, Case{"ddim", {}},
                      Case{"ddim", "linspace"}, Case{"heun", {}}, Case{"heun", "karras"},
                      Case{"unipc", {}}, Case{"unipc", "karras"}, Case{"unipc", "trailing"},
                      Case{"dpm-sde", {}}, Case{"dpm-sde", "karras"}, Case{"dpm-sde", "leading"}),
    [](const ::testing::TestParamInfo<Case>& info) {
        std::string name = info.param.scheduler + (info.param.spacing ? "_" + *info.param.spacing : "");
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

} // namespace
