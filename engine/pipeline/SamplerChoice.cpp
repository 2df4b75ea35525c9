#include "pipeline/SamplerChoice.h"

#include "pipeline/SchedulerTable.h"

namespace dravelin {

namespace {

constexpr std::string_view kKarras = "Karras";

} // namespace

bool takesKarrasSpacing(StableDiffusionScheduler scheduler) {
    return schedulerEntry(scheduler).takes(TimeStepSpacing::karras);
}

std::optional<SamplerChoice> samplerChoice(std::string_view sampler,
                                           const std::optional<std::string>& scheduleType) {
    const bool karras = scheduleType == kKarras;
    if (scheduleType && !karras && *scheduleType != "Uniform") {
        return std::nullopt;
    }
    for (const SchedulerEntry& entry : schedulerTable()) {
        if (entry.parametersName != sampler) {
            continue;
        }
        if (karras && !entry.takes(TimeStepSpacing::karras)) {
            return std::nullopt;
        }
        // Without a schedule type, the scheduler's own spacing.
        return SamplerChoice{entry.type, karras ? TimeStepSpacing::karras : entry.defaultSpacing};
    }
    return std::nullopt;
}

void describeSampler(const SamplerChoice& choice, GenerationParameters& parameters) {
    const SchedulerEntry& entry = schedulerEntry(choice.scheduler);
    const bool karras =
        choice.spacing == TimeStepSpacing::karras && entry.takes(TimeStepSpacing::karras);
    parameters.sampler = std::string(entry.parametersName);
    parameters.scheduleType = karras ? std::optional<std::string>(kKarras) : std::nullopt;
}

GenerationParameters parametersOf(const PipelineConfiguration& c, int width, int height) {
    GenerationParameters parameters;
    parameters.prompt = c.prompt;
    parameters.negativePrompt = c.negativePrompt;
    parameters.steps = c.stepCount;
    describeSampler({c.schedulerType, c.schedulerTimestepSpacing}, parameters);
    parameters.guidance = c.guidanceScale;
    parameters.seed = c.seed;
    parameters.width = width;
    parameters.height = height;
    return parameters;
}

} // namespace dravelin
