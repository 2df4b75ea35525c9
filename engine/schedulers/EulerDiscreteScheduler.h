#pragma once

#include "schedulers/SigmaScheduler.h"

namespace dravelin {

// Euler's method on the noise-level ODE ("Euler"): the clean-sample estimate
// x₀ = x − σ · ε gives the slope (x − x₀) / σ, followed down to the next σ.
// Deterministic; linspace spacing by default, Karras spacing too.
class EulerDiscreteScheduler : public SigmaScheduler {
public:
    explicit EulerDiscreteScheduler(int64_t stepCount,
                                    TimeStepSpacing spacing = TimeStepSpacing::linspace);

    SchedulerStep step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                       RandomSource& random) override;
};

} // namespace dravelin
