// The one denoising loop: every scheduler of the table through both
// pipelines, Heun's honest progress, and the stochastic schedulers' draws.

#include "pipeline/DenoisingLoop.h"
#include "pipeline/SchedulerTable.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "pipeline/StableDiffusionXLPipeline.h"
#include "random/RandomSource.h"
#include "schedulers/EulerAncestralDiscreteScheduler.h"
#include "schedulers/HeunDiscreteScheduler.h"
#include "support/TestNetworks.h"
#include "support/TestPipelineKinds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

int64_t predictions(const std::string& network) {
    const std::vector<std::string> events = ModelEventLog::events("predict");
    return std::count(events.begin(), events.end(), network);
}

// The network evaluations and reported steps a scheduler takes for 4 steps.
struct Expected {
    int64_t evaluations;
    int64_t steps;
};
Expected expectedFor(StableDiffusionScheduler type) {
    switch (type) {
    case StableDiffusionScheduler::pndmScheduler:
        return {5, 5}; // its warm-up visits one timestep twice
    case StableDiffusionScheduler::heunDiscreteScheduler:
        return {7, 4}; // two evaluations for every step but the last
    default:
        return {4, 4};
    }
}

class EveryScheduler : public ::testing::Test {
protected:
    PipelineKinds kinds;
    TemporaryDirectory directory;

    // Runs two images and checks what every run must give: both images, the
    // steps asked for reported in order, and the network evaluated as the
    // scheduler needs.
    void run(StableDiffusionPipelineProtocol& pipeline, PipelineConfiguration c,
             const std::map<std::string, int64_t>& evaluations, const std::string& what) {
        const Expected expected = expectedFor(c.schedulerType);
        std::vector<int64_t> steps;
        ModelEventLog::clear();
        const GeneratedImages images = pipeline.generateImages(c, [&](const PipelineProgress& p) {
            EXPECT_EQ(p.stepCount, expected.steps) << what;
            EXPECT_EQ(p.currentLatentSamples.size(), 2u) << what;
            steps.push_back(p.step);
            return true;
        });
        ASSERT_EQ(images.size(), 2u) << what;
        EXPECT_TRUE(images[0].has_value() && images[1].has_value()) << what;
        EXPECT_EQ(static_cast<int64_t>(steps.size()), expected.steps) << what;
        EXPECT_TRUE(std::is_sorted(steps.begin(), steps.end())) << what;
        for (const auto& [network, count] : evaluations) {
            EXPECT_EQ(predictions(network), count) << what << " " << network;
        }
        // The same seed gives the same images, stochastic schedulers included.
        EXPECT_EQ(pipeline.generateImages(c, [](const PipelineProgress&) { return true; }), images)
            << what;
    }

    static std::vector<PipelineConfiguration> configurations(PipelineConfiguration base) {
        std::vector<PipelineConfiguration> all;
        for (const SchedulerEntry& entry : schedulerTable()) {
            for (TimeStepSpacing spacing : entry.spacings) {
                if (spacing == entry.defaultSpacing || spacing == TimeStepSpacing::karras) {
                    PipelineConfiguration c = base;
                    c.schedulerType = entry.type;
                    c.schedulerTimestepSpacing = spacing;
                    all.push_back(c);
                }
            }
        }
        return all;
    }

    static std::string describe(const PipelineConfiguration& c) {
        return std::string(schedulerEntry(c.schedulerType).commandLineName) + " " +
               std::string(spacingName(c.schedulerTimestepSpacing));
    }
};

} // namespace

TEST_F(EveryScheduler, RunsThroughTheSDPipeline) {
    writeTinyModel(directory.path(), {});
    StableDiffusionPipeline pipeline(directory.path(), {}, {}, /*disableSafety=*/true, false);
    PipelineConfiguration base("a photo of a cat");
    base.stepCount = 4;
    base.imageCount = 2;
    for (const PipelineConfiguration& c : configurations(base)) {
        run(pipeline, c, {{"unet", expectedFor(c.schedulerType).evaluations}}, describe(c));
    }
}

TEST_F(EveryScheduler, RunsThroughTheXLPipelineAndItsRefiner) {
    writeTinyXLModel(directory.path(), {.refiner = true});
    StableDiffusionXLPipeline pipeline(directory.path(), {}, false);
    PipelineConfiguration base("a photo of a cat");
    base.stepCount = 4;
    base.imageCount = 2;
    base.originalSize = base.targetSize = 0.0f;
    base.refinerStart = 0.5f;
    for (const PipelineConfiguration& c : configurations(base)) {
        // Half of the evaluations, rounded down, are the base network's.
        const int64_t all = expectedFor(c.schedulerType).evaluations;
        run(pipeline, c, {{"unet", all / 2}, {"unet_refiner", all - all / 2}}, describe(c));
    }
}

namespace {

// Standard-normal arrays of zeros, counting the draws.
class CountingSource : public RandomSource {
public:
    double nextNormal(double mean, double) override {
        ++values;
        return mean;
    }
    std::vector<double> normalArray(int64_t count, double mean, double) override {
        ++arrays;
        values += count;
        return std::vector<double>(static_cast<size_t>(count), mean);
    }
    int64_t arrays = 0;
    int64_t values = 0;
};

std::vector<ShapedArray> zeros(const std::vector<ShapedArray>& inputs) {
    std::vector<ShapedArray> out;
    for (const ShapedArray& input : inputs) {
        out.emplace_back(input.shape(), 0.0f);
    }
    return out;
}

} // namespace

TEST(DenoisingLoop, HeunReportsTheStepsAskedForAndStopsBetweenThem) {
    std::vector<std::unique_ptr<Scheduler>> schedulers;
    schedulers.push_back(std::make_unique<HeunDiscreteScheduler>(3));
    CountingSource random;
    size_t evaluations = 0;
    std::vector<std::pair<int64_t, int64_t>> reported;
    std::vector<float> seen;
    const auto result = denoise(
        schedulers, {ShapedArray(Shape{1, 4, 2, 2}, 1.0f)}, std::nullopt, random,
        [&](const std::vector<ShapedArray>& inputs, float t, size_t index, size_t count) {
            EXPECT_EQ(index, evaluations);
            EXPECT_EQ(count, 5u);
            seen.push_back(t);
            ++evaluations;
            return zeros(inputs);
        },
        [&](int64_t step, int64_t count, const auto&, const auto&) {
            reported.emplace_back(step, count);
            return true;
        });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(evaluations, 5u);
    EXPECT_EQ(reported, (std::vector<std::pair<int64_t, int64_t>>{{0, 3}, {1, 3}, {2, 3}}));
    // Fractional linspace timesteps reach the network unrounded: 999, 499.5, 0.
    EXPECT_EQ(seen, (std::vector<float>{999.0f, 499.5f, 499.5f, 0.0f, 0.0f}));
    EXPECT_EQ(random.arrays, 0);

    // Stopping at the first report leaves the second evaluation of step 2 undone.
    schedulers[0] = std::make_unique<HeunDiscreteScheduler>(3);
    evaluations = 0;
    EXPECT_FALSE(denoise(
                     schedulers, {ShapedArray(Shape{1, 4, 2, 2}, 1.0f)}, std::nullopt, random,
                     [&](const std::vector<ShapedArray>& inputs, float, size_t, size_t) {
                         ++evaluations;
                         return zeros(inputs);
                     },
                     [](int64_t, int64_t, const auto&, const auto&) { return false; })
                     .has_value());
    EXPECT_EQ(evaluations, 2u);
}

TEST(DenoisingLoop, StochasticSchedulersDrawOneArrayPerImageAndStep) {
    std::vector<std::unique_ptr<Scheduler>> schedulers;
    for (int i = 0; i < 2; ++i) {
        schedulers.push_back(std::make_unique<EulerAncestralDiscreteScheduler>(3));
    }
    CountingSource random;
    const ShapedArray latent(Shape{1, 4, 2, 2}, 1.0f);
    const auto predict = [](const std::vector<ShapedArray>& inputs, float, size_t, size_t) {
        return zeros(inputs);
    };
    const auto keepGoing = [](int64_t, int64_t, const auto&, const auto&) { return true; };
    ASSERT_TRUE(denoise(schedulers, {latent, latent}, std::nullopt, random, predict, keepGoing));
    EXPECT_EQ(random.arrays, 6);
    EXPECT_EQ(random.values, 6 * latent.count());
    // One scheduler per image.
    EXPECT_THROW(denoise(schedulers, {latent}, std::nullopt, random, predict, keepGoing),
                 std::invalid_argument);
}
