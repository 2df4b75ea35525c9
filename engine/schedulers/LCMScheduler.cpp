#include "schedulers/LCMScheduler.h"

#include "random/RandomSource.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

// diffusers builds this scheduler's tables with PyTorch: betas from a float32
// linspace that counts from the start for its first half and back from the
// end for its second, and a cumulative product accumulated in double and
// rounded at each entry. Matching that keeps the first step (where α is
// small and divides) within a few units in the last place of diffusers.
NoiseTables torchTables(int trainStepCount, BetaSchedule schedule, double betaStart,
                        double betaEnd) {
    const bool scaled = schedule == BetaSchedule::scaledLinear;
    const auto start = static_cast<float>(scaled ? std::sqrt(betaStart) : betaStart);
    const auto end = static_cast<float>(scaled ? std::sqrt(betaEnd) : betaEnd);
    const int64_t count = trainStepCount;
    const float step = count > 1 ? (end - start) / static_cast<float>(count - 1) : 0.0f;
    NoiseTables tables;
    double product = 1.0;
    for (int64_t i = 0; i < count; ++i) {
        const float value = i < count / 2 ? start + step * static_cast<float>(i)
                                          : end - step * static_cast<float>(count - i - 1);
        const float beta = scaled ? value * value : value;
        const float alpha = 1.0f - beta;
        product *= static_cast<double>(alpha);
        const auto cumulative = static_cast<float>(product);
        tables.betas.push_back(beta);
        tables.alphas.push_back(alpha);
        tables.alphasCumProd.push_back(cumulative);
        tables.alpha_t.push_back(std::sqrt(cumulative));
        tables.sigma_t.push_back(std::sqrt(1.0f - cumulative));
    }
    tables.lambda_t = lambdas(tables.alpha_t, tables.sigma_t);
    return tables;
}

} // namespace

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
    tables_ = torchTables(trainStepCount_, betaSchedule, betaStart, betaEnd);
    // The distillation's timesteps k − 1, 2k − 1, …, from the last; this run
    // visits those at indices floor(i × original / steps).
    const int64_t spacing = trainStepCount / originalStepCount;
    const double stride = static_cast<double>(originalStepCount) / static_cast<double>(stepCount);
    for (int64_t i = 0; i < stepCount; ++i) {
        const auto index = static_cast<int64_t>(std::floor(static_cast<double>(i) * stride));
        timeSteps_.push_back(static_cast<int>((originalStepCount - index) * spacing - 1));
    }
}

ShapedArray LCMScheduler::step(const ShapedArray& output, int timeStep, const ShapedArray& sample) {
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
        return denoised;
    }
    if (!randomSource_) {
        throw std::logic_error("The latent-consistency scheduler needs the generation's random "
                               "source to add noise between steps.");
    }
    const NormalArray drawn = randomSource_->normalShapedArray(sample.shape());
    const ShapedArray noise = ShapedArray::fromDoubles(drawn.values, sample.shape());
    const float keep = std::sqrt(previousAlphaProduct);
    const float add = std::sqrt(1.0f - previousAlphaProduct);
    ShapedArray result(sample.shape());
    for (int64_t i = 0; i < result.count(); ++i) {
        result.data()[i] = keep * denoised.data()[i] + add * noise.data()[i];
    }
    return result;
}

} // namespace dravelin
