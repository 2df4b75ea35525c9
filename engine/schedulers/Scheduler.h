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
    // The tables as PyTorch builds them: betas from a float32 linspace that
    // counts from the start for its first half and back from the end for its
    // second, and a cumulative product accumulated in double and rounded at
    // each entry.
    static NoiseTables makeAsTorch(int trainStepCount, BetaSchedule schedule, double betaStart,
                                   double betaEnd);
};

// log(alpha_t) − log(sigma_t), element by element.
std::vector<float> lambdas(const std::vector<float>& alpha_t, const std::vector<float>& sigma_t);

// What one scheduler step gives: the next sample and the clean-sample
// estimate the step computed on the way (what the final image is decoded
// from, and what previews may show).
struct SchedulerStep {
    ShapedArray sample;
    ShapedArray denoised;
};

// A noise scheduler: which timesteps to evaluate the network at and how each
// network output moves the sample one step towards the image. One scheduler
// serves one image of one generation; it keeps history between steps.
//
// The denoising loop asks every scheduler the same things: timesteps(),
// initNoiseSigma(), scaleModelInput() before each evaluation and step() after
// it, handing step() the generation's random source for schedulers that add
// fresh noise.
class Scheduler {
public:
    virtual ~Scheduler() = default;

    // The network's timestep at each evaluation, in order. Whole numbers for
    // most schedulers; fractional where the schedule interpolates them, and
    // those reach the network unrounded.
    virtual std::vector<float> timesteps() const;
    // Where a run of this strength starts in timesteps(): 0 without a
    // strength (text-to-image). Throws like calculateTimesteps.
    virtual size_t firstStepIndex(std::optional<float> strength) const;
    // Whether the evaluation at this index of timesteps() finishes one of the
    // steps the user asked for. Schedulers that evaluate the network twice for
    // a step say no after the first of the two.
    virtual bool finishesStep(size_t /*index*/) const { return true; }

    // One step from the network's (guided) output at `timeStep` for `sample`.
    // Schedulers that add noise draw one sample-shaped standard-normal array
    // from `random` per step.
    virtual SchedulerStep step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                               RandomSource& random) = 0;

    int trainStepCount() const { return trainStepCount_; }
    int inferenceStepCount() const { return inferenceStepCount_; }
    // The timesteps as whole numbers, for schedulers whose timesteps are
    // whole (empty for the others).
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
    virtual ShapedArray scaleModelInput(const ShapedArray& sample, float /*timeStep*/) const {
        return sample;
    }
    // Clean-sample estimates, one per step taken (the most recent ones only,
    // where a scheduler bounds its history).
    const std::vector<ShapedArray>& modelOutputs() const { return modelOutputs_; }

    // The timesteps an image-to-image run of this strength visits: all of them
    // without a strength, else the tail from N − int(N × strength).
    std::vector<int> calculateTimesteps(std::optional<float> strength = std::nullopt) const;

    // The image-to-image start: the original sample noised to the first
    // timestep of that tail, once per (standard-normal) noise array. A
    // strength that leaves no timestep to start from (0 where the list has
    // only N entries) throws.
    virtual std::vector<ShapedArray> addNoise(const ShapedArray& originalSample,
                                              const std::vector<ShapedArray>& noise,
                                              float strength) const;

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
};

// A scheduler step from a scheduler that keeps its estimates in
// modelOutputs(): the next sample with the latest estimate (the next sample
// itself before there is one).
SchedulerStep withLatestEstimate(const Scheduler& scheduler, ShapedArray next);

} // namespace dravelin
