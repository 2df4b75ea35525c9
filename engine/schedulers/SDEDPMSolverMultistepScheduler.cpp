#include "schedulers/SDEDPMSolverMultistepScheduler.h"

#include "random/RandomSource.h"
#include "schedulers/TimestepSpacing.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

// Below this many steps the last step is first order.
constexpr size_t kLowerOrderFinalBelow = 15;

} // namespace

SDEDPMSolverMultistepScheduler::SDEDPMSolverMultistepScheduler(int64_t stepCount,
                                                               TimeStepSpacing spacing)
    : MultistepSigmaScheduler(stepCount, spacing, "DPM-Solver++ SDE") {}

SchedulerStep SDEDPMSolverMultistepScheduler::step(const ShapedArray& output, float timeStepValue,
                                                   const ShapedArray& sample,
                                                   RandomSource& random) {
    const size_t index = stepIndex(timeStepValue);
    const size_t count = timeSteps_.size();
    const bool lowerOrderFinal = index == count - 1 && count < kLowerOrderFinalBelow;

    const Level s0 = level(index);
    ShapedArray estimate = denoisedEstimate(output, sample, static_cast<float>(s0.alpha),
                                            static_cast<float>(s0.sigma));
    remember(estimate);
    const ShapedArray noise =
        ShapedArray::fromDoubles(random.normalShapedArray(sample.shape()).values, sample.shape());

    const Level t = level(index + 1);
    const double h = t.lambda - s0.lambda;
    const double keep = t.sigma / s0.sigma * std::exp(-h);
    const double towards = t.alpha * (1.0 - std::exp(-2.0 * h));
    const double fresh = t.sigma * std::sqrt(1.0 - std::exp(-2.0 * h));
    ShapedArray next = [&] {
        if (lowerOrderSteps_ < 1 || lowerOrderFinal || modelOutputs_.size() < 2) {
            return weightedSum({keep, towards, fresh}, {sample, estimate, noise});
        }
        const Level s1 = level(index - 1);
        const double r0 = (s0.lambda - s1.lambda) / h;
        const ShapedArray& m1 = modelOutputs_.front();
        const ShapedArray d1 = weightedSum({1.0 / r0, -1.0 / r0}, {estimate, m1});
        return weightedSum({keep, towards, 0.5 * towards, fresh}, {sample, estimate, d1, noise});
    }();
    advance();
    return {std::move(next), std::move(estimate)};
}

} // namespace dravelin
