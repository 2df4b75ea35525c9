#pragma once

#include "schedulers/MultistepSigmaScheduler.h"

#include <optional>

namespace dravelin {

// UniPC ("UniPC"), order 2 with the B(h) = eʰ − 1 variant, on data
// predictions: every step first corrects the sample it was given with the new
// clean-sample estimate (the corrector), then predicts the next sample from
// the newest one or two estimates (the predictor). The last step is first
// order. Linspace spacing by default, Karras spacing too.
class UniPCMultistepScheduler : public MultistepSigmaScheduler {
public:
    explicit UniPCMultistepScheduler(int64_t stepCount,
                                     TimeStepSpacing spacing = TimeStepSpacing::linspace);

    SchedulerStep step(const ShapedArray& output, float timeStep, const ShapedArray& sample,
                       RandomSource& random) override;

private:
    ShapedArray corrected(const ShapedArray& estimate, size_t index) const;
    ShapedArray predicted(const ShapedArray& sample, size_t index, int order) const;

    std::optional<ShapedArray> lastSample_;
    int order_ = 1;
};

} // namespace dravelin
