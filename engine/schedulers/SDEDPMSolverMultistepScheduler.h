#pragma once

#include "schedulers/MultistepSigmaScheduler.h"

namespace dravelin {

// DPM-Solver++ in its stochastic form, multistep order 2 with the midpoint
// update ("DPM++ 2M SDE"): like the deterministic solver it steps from the
// newest one or two clean-sample estimates, but it contracts the sample by
// e^(−h) more and adds fresh noise of σ_next · sqrt(1 − e^(−2h)) every step.
// The first step and, below 15 steps, the last are first order. Linspace
// spacing by default, Karras spacing too.
class SDEDPMSolverMultistepScheduler : public MultistepSigmaScheduler {
public:
    explicit SDEDPMSolverMultistepScheduler(int64_t stepCount,
                                            TimeStepSpacing spacing = TimeStepSpacing::linspace);

    // Draws one sample-shaped standard-normal array from `random` every step.
    SchedulerStep step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                       RandomSource& random) override;
};

} // namespace dravelin
