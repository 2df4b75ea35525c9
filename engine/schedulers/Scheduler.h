#pragma once

#include "core/ShapedArray.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace dravelin {

class RandomSource;

enum class BetaSchedule { linear, scaledLinear };

// Evenly spaced single-precision values: entry i = step × i + start with
// step = (end − start) / (count − 1). One entry gives NaN (0 / 0 spacing);
// a negative count throws std::invalid_argument.
std::vector<float> linspace(float start, float end, int64_t count);

// The training timestep whose log-sigma brackets log(sigma), interpolated
// linearly and rounded. Needs at least two log-sigmas.
int sigmaToTimestep(float sigma, const std::vector<float>& logSigmas);

// Σ float(weights[k]) × values[k], accumulated in single precision one a·x + y
// pass per value, in order. All values share the first one's shape.
ShapedArray weightedSum(const std::vector<double>& weights,
                        const std::vector<std::reference_wrapper<const ShapedArray>>& values);

// Rounds to nearest, ties away from zero; throws for values that are not finite
// or do not fit an int.
int roundToInt(float value);
// Truncates toward zero, with the same checks.
int truncateToInt(float value);

// The per-timestep noise tables both schedulers derive from a beta schedule.
struct NoiseTables {
    std::vector<float> betas;
    std::vector<float> alphas;
    std::vector<float> alphasCumProd;
    std::vector<float> alpha_t;  // sqrt(ᾱ)
    std::vector<float> sigma_t;  // sqrt(1 − ᾱ)
    std::vector<float> lambda_t; // log α − log σ

    static NoiseTables make(int trainStepCount, BetaSchedule schedule, float betaStart,
                            float betaEnd);
};

// log(alpha_t) − log(sigma_t), element by element.
std::vector<float> lambdas(const std::vector<float>& alpha_t, const std::vector<float>& sigma_t);

// A noise scheduler: which training timesteps to visit and how each network
// output moves the sample one step towards the image. One scheduler serves one
// image of one generation; it keeps history between steps.
class Scheduler {
public:
    virtual ~Scheduler() = default;

    int trainStepCount() const { return trainStepCount_; }
    int inferenceStepCount() const { return inferenceStepCount_; }
    const std::vector<int>& timeSteps() const { return timeSteps_; }
    const std::vector<float>& betas() const { return tables_.betas; }
    const std::vector<float>& alphas() const { return tables_.alphas; }
    const std::vector<float>& alphasCumProd() const { return tables_.alphasCumProd; }
    const std::vector<float>& alpha_t() const { return tables_.alpha_t; }
    const std::vector<float>& sigma_t() const { return tables_.sigma_t; }
    const std::vector<float>& lambda_t() const { return tables_.lambda_t; }
    // The standard deviation of the starting noise.
    virtual float initNoiseSigma() const { return 1.0f; }
    // The network's input for `sample` at this timestep; the pipeline calls it
    // before every evaluation. Most schedulers take the sample as it is.
    virtual ShapedArray scaleModelInput(const ShapedArray& sample, int /*timeStep*/) const {
        return sample;
    }
    // The generation's random source, for schedulers that add fresh noise
    // between steps; shared with the pipeline, which drew the starting noise
    // from it.
    void useRandomSource(std::shared_ptr<RandomSource> source) {
        randomSource_ = std::move(source);
    }
    // Clean-sample estimates, one per step taken (the most recent ones only,
    // where a scheduler bounds its history).
    const std::vector<ShapedArray>& modelOutputs() const { return modelOutputs_; }

    // The timesteps an image-to-image run of this strength visits: all of them
    // without a strength, else the tail from N − int(N × strength).
    std::vector<int> calculateTimesteps(std::optional<float> strength = std::nullopt) const;

    // The image-to-image start: the original sample noised to the first
    // timestep of that tail, once per noise array. A strength that leaves no
    // timestep to start from (0 where the list has only N entries) throws.
    std::vector<ShapedArray> addNoise(const ShapedArray& originalSample,
                                      const std::vector<ShapedArray>& noise, float strength) const;

    virtual ShapedArray step(const ShapedArray& output, int timeStep,
                             const ShapedArray& sample) = 0;

protected:
    Scheduler(int64_t stepCount, int64_t trainStepCount);

    // The clean-sample estimate (sample − σ · output) / α, element-wise in
    // single precision. Throws when the two shapes differ.
    static ShapedArray denoisedEstimate(const ShapedArray& output, const ShapedArray& sample,
                                        float alpha, float sigma);

    int startIndex(float strength) const;

    int trainStepCount_;
    int inferenceStepCount_;
    std::vector<int> timeSteps_;
    NoiseTables tables_;
    std::vector<ShapedArray> modelOutputs_;
    std::shared_ptr<RandomSource> randomSource_;
};

// One denoising step for every image of a batch: each image's scheduler steps
// its latents on its noise, and `denoised` gets that scheduler's latest
// clean-sample estimate (the latents themselves before it has one).
void stepEach(const std::vector<std::unique_ptr<Scheduler>>& schedulers,
              const std::vector<ShapedArray>& noise, int timeStep,
              std::vector<ShapedArray>& latents, std::vector<ShapedArray>& denoised);

} // namespace dravelin
