#pragma once

#include "schedulers/Scheduler.h"

namespace dravelin {

// The latent-consistency scheduler (LCM), for networks distilled to denoise
// in a few steps (an LCM model or LCM LoRA weights). Its timesteps are taken,
// evenly by index, from the last of the `originalStepCount` timesteps the
// distillation used; each step turns the noise prediction into a denoised
// estimate under the consistency boundary condition
//   denoised = c_out × x0 + c_skip × sample,
// with c_skip = σ_d² / (τ² + σ_d²), c_out = τ / sqrt(τ² + σ_d²), τ = 10 × t and
// σ_d = 0.5, then noises that estimate afresh to the next timestep with
// draws from the generation's random source. The last step gives the
// estimate itself.
class LCMScheduler : public Scheduler {
public:
    // Throws std::invalid_argument for fewer than 1 step or more than
    // `originalStepCount`.
    LCMScheduler(int64_t stepCount, int64_t trainStepCount = 1000,
                 BetaSchedule betaSchedule = BetaSchedule::scaledLinear, double betaStart = 0.00085,
                 double betaEnd = 0.012, int64_t originalStepCount = 50);

    static constexpr double timestepScaling = 10.0;
    static constexpr double sigmaData = 0.5;

    // Throws std::invalid_argument for a timestep not in its list.
    SchedulerStep step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                       RandomSource& random) override;

private:
    int stepIndex_ = -1;
};

} // namespace dravelin
