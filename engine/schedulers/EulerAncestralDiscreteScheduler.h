#pragma once

#include "schedulers/SigmaScheduler.h"

namespace dravelin {

// Euler's method with fresh noise at every step ("Euler a"): each step goes
// down past the next σ to σ_down and adds new noise of σ_up, with
// σ_up² = σ_next² (σ² − σ_next²) / σ² and σ_down² = σ_next² − σ_up².
// Linspace spacing by default; no Karras spacing.
class EulerAncestralDiscreteScheduler : public SigmaScheduler {
public:
    explicit EulerAncestralDiscreteScheduler(int64_t stepCount,
                                             TimeStepSpacing spacing = TimeStepSpacing::linspace);

    // Draws one sample-shaped standard-normal array from `random` every step.
    SchedulerStep step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                       RandomSource& random) override;
};

} // namespace dravelin
