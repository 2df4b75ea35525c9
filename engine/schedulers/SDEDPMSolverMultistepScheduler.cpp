#include "schedulers/SDEDPMSolverMultistepScheduler.h"

#include "random/RandomSource.h"
#include "schedulers/TimestepSpacing.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

constexpr int kTrainSteps = 1000;
// Below this many steps the last step is first order.
constexpr size_t kLowerOrderFinalBelow = 15;

} // namespace

SDEDPMSolverMultistepScheduler::SDEDPMSolverMultistepScheduler(int64_t stepCount,
                                                               TimeStepSpacing spacing)
    : Scheduler(stepCount, kTrainSteps) {
    if (stepCount < 1) {
        throw std::invalid_argument("The DPM-Solver++ SDE scheduler needs at least 1 step, not " +
                                    std::to_string(stepCount) + ".");
    }
    tables_ = NoiseTables::makeAsTorch(kTrainSteps, BetaSchedule::scaledLinear, 0.00085, 0.012);
    MultistepSchedule schedule =
        multistepSchedule(spacing, inferenceStepCount_, tables_.alphasCumProd, /*stepsOffset=*/1);
    timeSteps_ = std::move(schedule.timesteps);
    sigmas_ = std::move(schedule.sigmas);
}

SDEDPMSolverMultistepScheduler::Level SDEDPMSolverMultistepScheduler::level(size_t index) const {
    const double s = sigmas_.at(index);
    const double alpha = 1.0 / std::sqrt(s * s + 1.0);
    const double sigma = s * alpha;
    return {alpha, sigma, std::log(alpha) - std::log(sigma)};
}

SchedulerStep SDEDPMSolverMultistepScheduler::step(const ShapedArray& output, float timeStepValue,
                                                   const ShapedArray& sample,
                                                   RandomSource& random) {
    const int timeStep = roundToInt(timeStepValue);
    if (!stepIndex_) {
        const auto found = std::find(timeSteps_.begin(), timeSteps_.end(), timeStep);
        stepIndex_ = found == timeSteps_.end()
                         ? timeSteps_.size() - 1
                         : static_cast<size_t>(found - timeSteps_.begin());
    }
    const size_t index = *stepIndex_;
    const size_t count = timeSteps_.size();
    if (index >= count) {
        throw std::out_of_range("The DPM-Solver++ SDE scheduler has taken all of its steps.");
    }
    const bool lowerOrderFinal = index == count - 1 && count < kLowerOrderFinalBelow;

    const Level s0 = level(index);
    ShapedArray estimate = denoisedEstimate(output, sample, static_cast<float>(s0.alpha),
                                            static_cast<float>(s0.sigma));
    if (modelOutputs_.size() >= static_cast<size_t>(solverOrder)) {
        modelOutputs_.erase(modelOutputs_.begin());
    }
    modelOutputs_.push_back(estimate);
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
    lowerOrderSteps_ = std::min(lowerOrderSteps_ + 1, solverOrder);
    *stepIndex_ += 1;
    return {std::move(next), std::move(estimate)};
}

} // namespace dravelin
