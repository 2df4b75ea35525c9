#pragma once

#include "schedulers/SchedulerOptions.h"
#include "schedulers/Scheduler.h"

namespace dravelin {

// The common ground of the Euler-family schedulers, which work on samples
// scaled by noise level: x = x₀ + σ · ε with σ = sqrt((1 − ᾱ) / ᾱ). The
// starting noise is scaled up to the first σ, and the network sees the sample
// divided by sqrt(σ² + 1). Timesteps may be fractional.
class SigmaScheduler : public Scheduler {
public:
    std::vector<float> timesteps() const override { return timesteps_; }
    float initNoiseSigma() const override;
    ShapedArray scaleModelInput(const ShapedArray& sample, float timeStep) const override;
    // x₀ + σ · noise at the starting step's σ.
    std::vector<ShapedArray> addNoise(const ShapedArray& originalSample,
                                      const std::vector<ShapedArray>& noise,
                                      float strength) const override;

    // The noise level at each timestep, with a final 0.
    const std::vector<float>& sigmas() const { return sigmas_; }

protected:
    // The training schedule (1000 steps of scaled-linear betas from 0.00085
    // to 0.012), `stepCount` timesteps spaced as asked and their sigmas; with
    // Karras spacing the sigmas follow Karras et al.'s schedule between the
    // spaced ones' ends and the timesteps become those sigmas' (fractional)
    // training timesteps.
    SigmaScheduler(int64_t stepCount, TimeStepSpacing spacing, bool takesKarras);

    // Where this timestep sits in timesteps(): the step counter once stepping
    // began; before, the timestep's position (its second one where it
    // repeats, so a run that starts part-way does not skip a sigma).
    size_t indexFor(float timeStep) const;
    // Starts the step counter at the first step and checks the shapes.
    size_t beginStep(float timeStep, const ShapedArray& output, const ShapedArray& sample);

    std::vector<float> timesteps_;
    std::vector<float> sigmas_;
    // The starting noise's standard deviation is the largest σ itself
    // (linspace, trailing, karras) or sqrt(σ² + 1) (leading).
    bool noiseAtLargestSigma_ = true;
    std::optional<size_t> stepIndex_;
};

} // namespace dravelin
