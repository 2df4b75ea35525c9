#include "schedulers/LCMScheduler.h"

#include "random/RandomSource.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {


LCMScheduler::LCMScheduler(int64_t stepCount, int64_t trainStepCount, BetaSchedule betaSchedule,
                           double betaStart, double betaEnd, int64_t originalStepCount)
    : Scheduler(stepCount, trainStepCount) {
    if (originalStepCount < 1 || originalStepCount > trainStepCount) {
        throw std::invalid_argument("The latent-consistency schedule needs between 1 and " +
                                    std::to_string(trainStepCount) + " original steps.");
    }
    if (stepCount < 1 || stepCount > originalStepCount) {
        throw std::invalid_argument("The latent-consistency scheduler takes 1 to " +
                                    std::to_string(originalStepCount) +
                                    " steps (4 is usual), not " + std::to_string(stepCount) + ".");
    }
    tables_ = NoiseTables::makeAsTorch(trainStepCount_, betaSchedule, betaStart, betaEnd);
    // The distillation's timesteps k − 1, 2k − 1, …, from the last; this run
    // visits those at indices floor(i × original / steps).
    const int64_t spacing = trainStepCount / originalStepCount;
    const double stride = static_cast<double>(originalStepCount) / static_cast<double>(stepCount);
    for (int64_t i = 0; i < stepCount; ++i) {
        const auto index = static_cast<int64_t>(std::floor(static_cast<double>(i) * stride));
        timeSteps_.push_back(static_cast<int>((originalStepCount - index) * spacing - 1));
    }
}

SchedulerStep LCMScheduler::step(const ShapedArray& output, float timeStepValue,
                                 const ShapedArray& sample, RandomSource& random) {
    const int timeStep = roundToInt(timeStepValue);
    if (stepIndex_ < 0) {
        const auto found = std::find(timeSteps_.begin(), timeSteps_.end(), timeStep);
        if (found == timeSteps_.end()) {
            throw std::invalid_argument("The timestep " + std::to_string(timeStep) +
                                        " is not one of the latent-consistency schedule's.");
        }
        stepIndex_ = static_cast<int>(found - timeSteps_.begin());
    }
    const size_t next = static_cast<size_t>(stepIndex_) + 1;
    const bool last = next >= timeSteps_.size();
    const int previous = last ? timeStep : timeSteps_[next];

    const float alphaProduct = tables_.alphasCumProd.at(static_cast<size_t>(timeStep));
    const float previousAlphaProduct =
        previous >= 0 ? tables_.alphasCumProd.at(static_cast<size_t>(previous)) : 1.0f;

    const double scaled = static_cast<double>(timeStep) * timestepScaling;
    const double sigmaData2 = sigmaData * sigmaData;
    const auto cSkip = static_cast<float>(sigmaData2 / (scaled * scaled + sigmaData2));
    const auto cOut = static_cast<float>(scaled / std::sqrt(scaled * scaled + sigmaData2));

    ShapedArray denoised =
        denoisedEstimate(output, sample, std::sqrt(alphaProduct), std::sqrt(1.0f - alphaProduct));
    {
        float* d = denoised.data();
        const float* x = sample.data();
        for (int64_t i = 0; i < denoised.count(); ++i) {
            d[i] = cOut * d[i] + cSkip * x[i];
        }
    }
    ++stepIndex_;
    modelOutputs_.assign(1, denoised);
    if (last) {
        return {denoised, denoised};
    }
    const NormalArray drawn = random.normalShapedArray(sample.shape());
    const ShapedArray noise = ShapedArray::fromDoubles(drawn.values, sample.shape());
    const float keep = std::sqrt(previousAlphaProduct);
    const float add = std::sqrt(1.0f - previousAlphaProduct);
    ShapedArray result(sample.shape());
    for (int64_t i = 0; i < result.count(); ++i) {
        result.data()[i] = keep * denoised.data()[i] + add * noise.data()[i];
    }
    return {std::move(result), std::move(denoised)};
}

} // namespace dravelin
