#include "schedulers/EulerAncestralDiscreteScheduler.h"

#include "random/RandomSource.h"

#include <cmath>

namespace dravelin {

EulerAncestralDiscreteScheduler::EulerAncestralDiscreteScheduler(int64_t stepCount,
                                                                 TimeStepSpacing spacing)
    : SigmaScheduler(stepCount, spacing, /*takesKarras=*/false) {}

SchedulerStep EulerAncestralDiscreteScheduler::step(const ShapedArray& output, float timeStep,
                                                    const ShapedArray& sample,
                                                    RandomSource& random) {
    const size_t index = beginStep(timeStep, output, sample);
    const float sigma = sigmas_[index];
    const float next = sigmas_[index + 1];
    const float up = std::sqrt(next * next * (sigma * sigma - next * next) / (sigma * sigma));
    const float down = std::sqrt(next * next - up * up);
    const float dt = down - sigma;
    const ShapedArray noise =
        ShapedArray::fromDoubles(random.normalShapedArray(sample.shape()).values, sample.shape());
    ShapedArray denoised(sample.shape());
    ShapedArray result(sample.shape());
    for (int64_t i = 0; i < sample.count(); ++i) {
        const float x = sample.data()[i];
        const float x0 = x - sigma * output.data()[i];
        denoised.data()[i] = x0;
        result.data()[i] = (x + (x - x0) / sigma * dt) + noise.data()[i] * up;
    }
    *stepIndex_ += 1;
    modelOutputs_.assign(1, denoised);
    return {std::move(result), std::move(denoised)};
}

} // namespace dravelin
