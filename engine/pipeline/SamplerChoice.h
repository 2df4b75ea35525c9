#pragma once

#include "pipeline/GenerationParameters.h"
#include "pipeline/PipelineConfiguration.h"

#include <optional>
#include <string>
#include <string_view>

namespace dravelin {

// A scheduler and its timestep spacing, as a PNG's "Sampler" and
// "Schedule type" name them.
struct SamplerChoice {
    StableDiffusionScheduler scheduler = StableDiffusionScheduler::pndmScheduler;
    TimeStepSpacing spacing = TimeStepSpacing::linspace;

    bool operator==(const SamplerChoice&) const = default;
};

// The scheduler-table row whose sampler name is `sampler`, with Karras
// spacing when `scheduleType` is "Karras" and its own spacing otherwise;
// absent when no row has that name, or the row's scheduler has no Karras
// spacing and Karras is asked for.
std::optional<SamplerChoice> samplerChoice(std::string_view sampler,
                                           const std::optional<std::string>& scheduleType);

// The "Sampler" and "Schedule type" of a scheduler and spacing.
void describeSampler(const SamplerChoice& choice, GenerationParameters& parameters);

// Whether the scheduler spaces its timesteps the Karras way when asked.
bool takesKarrasSpacing(StableDiffusionScheduler scheduler);

// The parameters of an image made with `configuration` (its prompt,
// negative prompt, steps, sampler, guidance and seed) at the given size.
GenerationParameters parametersOf(const PipelineConfiguration& configuration, int width,
                                  int height);

} // namespace dravelin
