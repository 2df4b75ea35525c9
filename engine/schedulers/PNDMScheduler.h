#pragma once

#include "schedulers/Scheduler.h"

#include <optional>

namespace dravelin {

// Pseudo-linear multistep scheduler: a two-evaluation warm-up at the first
// timestep, then linear multistep combinations of up to four noise predictions.
class PNDMScheduler : public Scheduler {
public:
    // Throws std::invalid_argument for fewer than 2 steps: the warm-up needs a
    // second timestep.
    PNDMScheduler(int64_t stepCount, int64_t trainStepCount = 1000,
                  BetaSchedule betaSchedule = BetaSchedule::scaledLinear,
                  float betaStart = 0.00085f, float betaEnd = 0.012f);

    // One step at a whole timestep; the next sample.
    ShapedArray step(const ShapedArray& output, int timeStep, const ShapedArray& sample);
    // The same with the latest estimate; draws nothing.
    SchedulerStep step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                       RandomSource& random) override;

    int counter() const { return counter_; }
    const std::vector<ShapedArray>& ets() const { return ets_; }

private:
    // Clean-sample estimate (sample − σ·e) / α at timestep t.
    ShapedArray convertModelOutput(const ShapedArray& modelOutput, int timestep,
                                   const ShapedArray& sample) const;

    int counter_ = 0;
    std::vector<ShapedArray> ets_;
    std::optional<ShapedArray> currentSample_;
};

} // namespace dravelin
