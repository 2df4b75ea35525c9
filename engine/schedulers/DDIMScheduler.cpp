#include "schedulers/DDIMScheduler.h"

#include "schedulers/StableDiffusionNoise.h"
#include "schedulers/TimestepSpacing.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

DDIMScheduler::DDIMScheduler(int64_t stepCount, TimeStepSpacing spacing)
    : Scheduler(stepCount, stableDiffusionTrainSteps) {
    requireSteps(stepCount, "DDIM");
    tables_ = stableDiffusionNoiseTables();
    timeSteps_ =
        ddimTimesteps(spacing, stableDiffusionTrainSteps, inferenceStepCount_, /*stepsOffset=*/1);
}

SchedulerStep DDIMScheduler::step(const ShapedArray& output, float timeStepValue,
                                  const ShapedArray& sample, RandomSource& /*random*/) {
    const int timeStep = roundToInt(timeStepValue);
    if (timeStep < 0 || timeStep >= trainStepCount_) {
        throw std::out_of_range("Timestep " + std::to_string(timeStep) +
                                " is outside the scheduler's tables.");
    }
    const int previous = timeStep - trainStepCount_ / inferenceStepCount_;
    const float alphaProduct = tables_.alphasCumProd[static_cast<size_t>(timeStep)];
    // Without "set_alpha_to_one" the step past the first timestep ends at
    // ᾱ₀, not 1.
    const float previousAlphaProduct =
        tables_.alphasCumProd[static_cast<size_t>(std::max(previous, 0))];
    ShapedArray denoised = denoisedEstimate(output, sample, std::sqrt(alphaProduct),
                                            std::sqrt(1.0f - alphaProduct));
    const float keep = std::sqrt(previousAlphaProduct);
    const float direction = std::sqrt(1.0f - previousAlphaProduct);
    ShapedArray next(sample.shape());
    for (int64_t i = 0; i < next.count(); ++i) {
        next.data()[i] = keep * denoised.data()[i] + direction * output.data()[i];
    }
    modelOutputs_.assign(1, denoised);
    return {std::move(next), std::move(denoised)};
}

} // namespace dravelin
