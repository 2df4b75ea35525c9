#pragma once

#include "schedulers/SigmaScheduler.h"

#include <optional>

namespace dravelin {

// Heun's method on the noise-level ODE ("Heun"): an Euler step to the next σ,
// then a second evaluation there whose slope is averaged with the first to
// redo the step. The network therefore runs twice for every step but the
// last (which goes to σ = 0 on Euler's step alone): its timesteps are
// t₀, t₁, t₁, t₂, t₂, …, and only the second of each pair finishes a step.
// Linspace spacing by default, Karras spacing too.
class HeunDiscreteScheduler : public SigmaScheduler {
public:
    explicit HeunDiscreteScheduler(int64_t stepCount,
                                   TimeStepSpacing spacing = TimeStepSpacing::linspace);

    size_t firstStepIndex(std::optional<float> strength) const override;
    bool finishesStep(size_t index) const override;

    SchedulerStep step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                       RandomSource& random) override;

private:
    // Between the two evaluations of a step: the first slope, the step size
    // and the sample the step started from.
    struct FirstEvaluation {
        ShapedArray derivative;
        float dt;
        ShapedArray sample;
    };
    std::optional<FirstEvaluation> first_;
};

} // namespace dravelin
