#pragma once

#include "schedulers/SchedulerOptions.h"
#include "schedulers/Scheduler.h"

#include <optional>

namespace dravelin {

// UniPC ("UniPC"), order 2 with the B(h) = eʰ − 1 variant, on data
// predictions: every step first corrects the sample it was given with the new
// clean-sample estimate (the corrector), then predicts the next sample from
// the newest one or two estimates (the predictor). The last step is first
// order. Linspace spacing by default, Karras spacing too.
class UniPCMultistepScheduler : public Scheduler {
public:
    explicit UniPCMultistepScheduler(int64_t stepCount,
                                     TimeStepSpacing spacing = TimeStepSpacing::linspace);

    static constexpr int solverOrder = 2;

    SchedulerStep step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                       RandomSource& random) override;

private:
    // α, σ and log(α / σ) at an index of sigmas_.
    struct Level {
        double alpha;
        double sigma;
        double lambda;
    };
    Level level(size_t index) const;
    ShapedArray corrected(const ShapedArray& estimate, size_t index) const;
    ShapedArray predicted(const ShapedArray& sample, size_t index, int order) const;

    std::vector<float> sigmas_;
    std::optional<size_t> stepIndex_;
    std::optional<ShapedArray> lastSample_;
    int order_ = 1;
    int lowerOrderSteps_ = 0;
};

} // namespace dravelin
