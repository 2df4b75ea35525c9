#pragma once

#include "schedulers/SchedulerOptions.h"
#include "schedulers/Scheduler.h"

namespace dravelin {

// DPM-Solver++ in multistep form, solver order 2: each noise prediction becomes
// a clean-sample estimate, and the next sample follows from the newest one or
// two estimates with exponential-integrator weights in log-SNR time.
class DPMSolverMultistepScheduler : public Scheduler {
public:
    // Throws std::invalid_argument for fewer than 1 step.
    DPMSolverMultistepScheduler(int64_t stepCount, int64_t trainStepCount = 1000,
                                BetaSchedule betaSchedule = BetaSchedule::scaledLinear,
                                float betaStart = 0.00085f, float betaEnd = 0.012f,
                                TimeStepSpacing timeStepSpacing = TimeStepSpacing::linspace);

    static constexpr int solverOrder = 2;
    static constexpr bool useLowerOrderFinal = true;

    int lowerOrderStepped() const { return lowerOrderStepped_; }
    bool usingKarrasSigmas() const { return usingKarrasSigmas_; }

    // One step at a whole timestep; the next sample.
    ShapedArray step(const ShapedArray& output, int timeStep, const ShapedArray& sample);
    // The same with the latest estimate; draws nothing.
    SchedulerStep step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                       RandomSource& random) override;

    ShapedArray convertModelOutput(const ShapedArray& modelOutput, int timestep,
                                   const ShapedArray& sample) const;

    // The order-2 midpoint update from the two newest estimates, taken at the
    // timesteps (s1, s0), towards prevTimestep.
    ShapedArray secondOrderUpdate(const std::vector<ShapedArray>& modelOutputs,
                                  const std::vector<int>& timesteps, int prevTimestep,
                                  const ShapedArray& sample) const;

private:
    // Where a timestep's entries sit in alpha_t/sigma_t/lambda_t: the timestep
    // itself, or with karras sigmas its first position in the schedule (0 when
    // it does not occur).
    size_t tableIndex(int timestep) const;
    ShapedArray firstOrderUpdate(const ShapedArray& x0, int timestep, int prevTimestep,
                                 const ShapedArray& sample) const;

    int lowerOrderStepped_ = 0;
    bool usingKarrasSigmas_ = false;
};

} // namespace dravelin
