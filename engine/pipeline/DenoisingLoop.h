#pragma once

#include "core/ShapedArray.h"
#include "random/RandomSource.h"
#include "schedulers/Scheduler.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace dravelin {

// The network's guided noise prediction for each image, given each image's
// scaled latents, at one timestep; `index` counts the evaluations of the run
// from 0 and `count` is their number (a pipeline may switch networks part-way).
using NoisePredictor = std::function<std::vector<ShapedArray>(
    const std::vector<ShapedArray>& inputs, float timeStep, size_t index, size_t count)>;

// Called after each step the user asked for: the zero-based step, the number
// of steps, each image's latents and latest clean-sample estimate. False
// stops the run.
using StepObserver =
    std::function<bool(int64_t step, int64_t stepCount, const std::vector<ShapedArray>& latents,
                       const std::vector<ShapedArray>& denoised)>;

// The denoising loop both pipelines run: for each timestep from the
// strength's start, each image's latents are scaled by its scheduler, the
// network predicts, and each scheduler steps its image in image order,
// drawing any fresh noise from `random`. Returns each image's latest
// clean-sample estimate (what the image is decoded from), or nothing when
// the observer stopped the run. Throws std::invalid_argument when there are
// not as many schedulers as latents.
std::optional<std::vector<ShapedArray>>
denoise(const std::vector<std::unique_ptr<Scheduler>>& schedulers,
        std::vector<ShapedArray> latents, std::optional<float> strength, RandomSource& random,
        const NoisePredictor& predictNoise, const StepObserver& observe);

} // namespace dravelin
