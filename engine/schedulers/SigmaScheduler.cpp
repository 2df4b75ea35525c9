#include "schedulers/SigmaScheduler.h"

#include "schedulers/StableDiffusionNoise.h"
#include "schedulers/TimestepSpacing.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

constexpr int kStepsOffset = 1;

} // namespace

SigmaScheduler::SigmaScheduler(int64_t stepCount, TimeStepSpacing spacing, bool takesKarras)
    : Scheduler(stepCount, stableDiffusionTrainSteps) {
    requireSteps(stepCount, "");
    if (spacing == TimeStepSpacing::karras && !takesKarras) {
        throw std::invalid_argument("This scheduler does not take Karras spacing.");
    }
    tables_ = stableDiffusionNoiseTables();
    const std::vector<float> training = trainingSigmas(tables_.alphasCumProd);
    std::vector<double> steps =
        eulerTimesteps(spacing, stableDiffusionTrainSteps, inferenceStepCount_, kStepsOffset);
    std::vector<double> sigmas = sigmasAt(steps, training);
    if (spacing == TimeStepSpacing::karras) {
        sigmas = karrasSigmas(sigmas.back(), sigmas.front(), inferenceStepCount_);
        for (size_t i = 0; i < sigmas.size(); ++i) {
            steps[i] = timestepOfSigma(sigmas[i], training);
        }
    }
    for (size_t i = 0; i < steps.size(); ++i) {
        timesteps_.push_back(static_cast<float>(steps[i]));
        sigmas_.push_back(static_cast<float>(sigmas[i]));
    }
    sigmas_.push_back(0.0f);
    noiseAtLargestSigma_ = spacing != TimeStepSpacing::leading;
}

float SigmaScheduler::initNoiseSigma() const {
    const float largest = *std::max_element(sigmas_.begin(), sigmas_.end());
    return noiseAtLargestSigma_ ? largest : std::sqrt(largest * largest + 1.0f);
}

size_t SigmaScheduler::indexFor(float timeStep) const {
    if (stepIndex_) {
        return *stepIndex_;
    }
    std::vector<size_t> found;
    for (size_t i = 0; i < timesteps_.size(); ++i) {
        if (timesteps_[i] == timeStep) {
            found.push_back(i);
        }
    }
    if (found.empty()) {
        throw std::invalid_argument("The timestep " + std::to_string(timeStep) +
                                    " is not one of the scheduler's.");
    }
    return found.size() > 1 ? found[1] : found[0];
}

size_t SigmaScheduler::beginStep(float timeStep, const ShapedArray& output,
                                 const ShapedArray& sample) {
    if (output.shape() != sample.shape()) {
        throw std::invalid_argument("The network output " + describe(output.shape()) +
                                    " does not match the sample " + describe(sample.shape()) + ".");
    }
    if (!stepIndex_) {
        stepIndex_ = indexFor(timeStep);
    }
    if (*stepIndex_ + 1 >= sigmas_.size()) {
        throw std::out_of_range("The scheduler has taken all of its steps.");
    }
    return *stepIndex_;
}

ShapedArray SigmaScheduler::scaleModelInput(const ShapedArray& sample, float timeStep) const {
    const float sigma = sigmas_.at(indexFor(timeStep));
    const float divisor = std::sqrt(sigma * sigma + 1.0f);
    ShapedArray scaled(sample.shape());
    for (int64_t i = 0; i < scaled.count(); ++i) {
        scaled.data()[i] = sample.data()[i] / divisor;
    }
    return scaled;
}

std::vector<ShapedArray> SigmaScheduler::addNoise(const ShapedArray& originalSample,
                                                  const std::vector<ShapedArray>& noise,
                                                  float strength) const {
    const size_t start = firstStepIndex(strength);
    if (start >= timesteps_.size()) {
        throw std::out_of_range("A strength of " + std::to_string(strength) +
                                " leaves no timestep to start image-to-image from; use a "
                                "strength above 0.");
    }
    const float sigma = sigmas_.at(indexFor(timesteps_[start]));
    std::vector<ShapedArray> noised;
    for (const ShapedArray& n : noise) {
        noised.push_back(weightedSum({1.0, sigma}, {originalSample, n}));
    }
    return noised;
}

} // namespace dravelin
