#include "pipeline/DenoisingLoop.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace dravelin {

std::optional<std::vector<ShapedArray>>
denoise(const std::vector<std::unique_ptr<Scheduler>>& schedulers,
        std::vector<ShapedArray> latents, std::optional<float> strength, RandomSource& random,
        const NoisePredictor& predictNoise, const StepObserver& observe) {
    if (schedulers.size() != latents.size() || schedulers.empty()) {
        throw std::invalid_argument("The denoising loop has " + std::to_string(schedulers.size()) +
                                    " schedulers for " + std::to_string(latents.size()) +
                                    " images.");
    }
    const Scheduler& first = *schedulers.front();
    const std::vector<float> timesteps = first.timesteps();
    const size_t start = first.firstStepIndex(strength);
    const size_t count = timesteps.size() - std::min(start, timesteps.size());
    int64_t stepCount = 0;
    for (size_t k = start; k < timesteps.size(); ++k) {
        stepCount += first.finishesStep(k) ? 1 : 0;
    }

    std::vector<ShapedArray> denoised = latents;
    std::vector<ShapedArray> inputs(latents.size());
    int64_t step = 0;
    for (size_t k = start; k < timesteps.size(); ++k) {
        const float t = timesteps[k];
        for (size_t i = 0; i < latents.size(); ++i) {
            inputs[i] = schedulers[i]->scaleModelInput(latents[i], t);
        }
        const std::vector<ShapedArray> noise = predictNoise(inputs, t, k - start, count);
        if (noise.size() != latents.size()) {
            throw std::logic_error("The network predicted noise for " +
                                   std::to_string(noise.size()) + " of " +
                                   std::to_string(latents.size()) + " images.");
        }
        for (size_t i = 0; i < latents.size(); ++i) {
            SchedulerStep next = schedulers[i]->step(noise[i], t, latents[i], random);
            latents[i] = std::move(next.sample);
            denoised[i] = std::move(next.denoised);
        }
        if (first.finishesStep(k)) {
            if (!observe(step, stepCount, latents, denoised)) {
                return std::nullopt;
            }
            ++step;
        }
    }
    return denoised;
}

} // namespace dravelin
