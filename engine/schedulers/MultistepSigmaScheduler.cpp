#include "schedulers/MultistepSigmaScheduler.h"

#include "schedulers/StableDiffusionNoise.h"
#include "schedulers/TimestepSpacing.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

MultistepSigmaScheduler::MultistepSigmaScheduler(int64_t stepCount, TimeStepSpacing spacing,
                                                 std::string_view name)
    : Scheduler(stepCount, stableDiffusionTrainSteps), name_(name) {
    requireSteps(stepCount, name);
    tables_ = stableDiffusionNoiseTables();
    MultistepSchedule schedule =
        multistepSchedule(spacing, inferenceStepCount_, tables_.alphasCumProd, /*stepsOffset=*/1);
    timeSteps_ = std::move(schedule.timesteps);
    sigmas_ = std::move(schedule.sigmas);
}

MultistepSigmaScheduler::Level MultistepSigmaScheduler::level(size_t index) const {
    const double s = sigmas_.at(index);
    const double alpha = 1.0 / std::sqrt(s * s + 1.0);
    const double sigma = s * alpha;
    return {alpha, sigma, std::log(alpha) - std::log(sigma)};
}

size_t MultistepSigmaScheduler::stepIndex(float timeStepValue) {
    const int timeStep = roundToInt(timeStepValue);
    if (!stepIndex_) {
        const auto found = std::find(timeSteps_.begin(), timeSteps_.end(), timeStep);
        stepIndex_ = found == timeSteps_.end()
                         ? timeSteps_.size() - 1
                         : static_cast<size_t>(found - timeSteps_.begin());
    }
    if (*stepIndex_ >= timeSteps_.size()) {
        throw std::out_of_range("The " + std::string(name_) +
                                " scheduler has taken all of its steps.");
    }
    return *stepIndex_;
}

void MultistepSigmaScheduler::remember(const ShapedArray& estimate) {
    if (modelOutputs_.size() >= static_cast<size_t>(solverOrder)) {
        modelOutputs_.erase(modelOutputs_.begin());
    }
    modelOutputs_.push_back(estimate);
}

void MultistepSigmaScheduler::advance() {
    lowerOrderSteps_ = std::min(lowerOrderSteps_ + 1, solverOrder);
    *stepIndex_ += 1;
}

} // namespace dravelin
