#pragma once

#include "schedulers/SchedulerOptions.h"
#include "schedulers/Scheduler.h"

#include <optional>

namespace dravelin {

// Denoising diffusion implicit models, deterministic (η = 0): each step
// estimates the clean sample and re-noises it to the previous timestep
// (t − 1000 / steps) along the same noise direction. Leading spacing by
// default; linspace and trailing too, no Karras spacing.
class DDIMScheduler : public Scheduler {
public:
    explicit DDIMScheduler(int64_t stepCount, TimeStepSpacing spacing = TimeStepSpacing::leading);

    SchedulerStep step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                       RandomSource& random) override;
};

} // namespace dravelin
