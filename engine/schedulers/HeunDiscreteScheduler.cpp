#include "schedulers/HeunDiscreteScheduler.h"

namespace dravelin {

HeunDiscreteScheduler::HeunDiscreteScheduler(int64_t stepCount, TimeStepSpacing spacing)
    : SigmaScheduler(stepCount, spacing, /*takesKarras=*/true) {
    // σ₀, σ₁, σ₁, …, σₙ₋₁, σₙ₋₁, 0 and t₀, t₁, t₁, …, tₙ₋₁, tₙ₋₁.
    std::vector<float> sigmas{sigmas_.front()};
    std::vector<float> steps{timesteps_.front()};
    for (size_t i = 1; i + 1 < sigmas_.size(); ++i) {
        sigmas.insert(sigmas.end(), 2, sigmas_[i]);
        steps.insert(steps.end(), 2, timesteps_[i]);
    }
    sigmas.push_back(0.0f);
    sigmas_ = std::move(sigmas);
    timesteps_ = std::move(steps);
}

size_t HeunDiscreteScheduler::firstStepIndex(std::optional<float> strength) const {
    return strength ? static_cast<size_t>(startIndex(*strength)) * 2 : 0;
}

bool HeunDiscreteScheduler::finishesStep(size_t index) const {
    return index % 2 == 1 || index + 1 >= timesteps_.size();
}

SchedulerStep HeunDiscreteScheduler::step(const ShapedArray& output, float timeStep,
                                          const ShapedArray& sample, RandomSource& /*random*/) {
    const size_t index = beginStep(timeStep, output, sample);
    ShapedArray denoised(sample.shape());
    ShapedArray next(sample.shape());
    if (!first_) {
        const float sigma = sigmas_[index];
        const float dt = sigmas_[index + 1] - sigma;
        ShapedArray derivative(sample.shape());
        for (int64_t i = 0; i < sample.count(); ++i) {
            const float x = sample.data()[i];
            const float x0 = x - sigma * output.data()[i];
            denoised.data()[i] = x0;
            derivative.data()[i] = (x - x0) / sigma;
            next.data()[i] = x + derivative.data()[i] * dt;
        }
        first_ = FirstEvaluation{std::move(derivative), dt, sample};
    } else {
        // Evaluated at the step's far end, σ_next.
        const float sigmaNext = sigmas_[index];
        const FirstEvaluation& before = *first_;
        for (int64_t i = 0; i < sample.count(); ++i) {
            const float x = sample.data()[i];
            const float x0 = x - sigmaNext * output.data()[i];
            denoised.data()[i] = x0;
            const float derivative = (before.derivative.data()[i] + (x - x0) / sigmaNext) / 2.0f;
            next.data()[i] = before.sample.data()[i] + derivative * before.dt;
        }
        first_.reset();
    }
    *stepIndex_ += 1;
    modelOutputs_.assign(1, denoised);
    return {std::move(next), std::move(denoised)};
}

} // namespace dravelin
