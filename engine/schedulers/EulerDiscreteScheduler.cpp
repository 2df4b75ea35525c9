#include "schedulers/EulerDiscreteScheduler.h"

namespace dravelin {

EulerDiscreteScheduler::EulerDiscreteScheduler(int64_t stepCount, TimeStepSpacing spacing)
    : SigmaScheduler(stepCount, spacing, /*takesKarras=*/true) {}

SchedulerStep EulerDiscreteScheduler::step(const ShapedArray& output, float timeStep,
                                           const ShapedArray& sample, RandomSource& /*random*/) {
    const size_t index = beginStep(timeStep, output, sample);
    const float sigma = sigmas_[index];
    const float dt = sigmas_[index + 1] - sigma;
    ShapedArray denoised(sample.shape());
    ShapedArray next(sample.shape());
    for (int64_t i = 0; i < sample.count(); ++i) {
        const float x = sample.data()[i];
        const float x0 = x - sigma * output.data()[i];
        denoised.data()[i] = x0;
        next.data()[i] = x + (x - x0) / sigma * dt;
    }
    *stepIndex_ += 1;
    modelOutputs_.assign(1, denoised);
    return {std::move(next), std::move(denoised)};
}

} // namespace dravelin
