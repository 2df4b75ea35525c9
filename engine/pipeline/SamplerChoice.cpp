#include "pipeline/SamplerChoice.h"

#include "pipeline/SchedulerTable.h"

namespace dravelin {

namespace {

constexpr std::string_view kKarras = "Karras";

// A table's Karras name may carry the spacing in the sampler's name
// ("DPM++ 2M Karras", the older form) or leave it to the schedule type.
std::string_view withoutKarras(std::string_view name) {
    constexpr std::string_view kSuffix = " Karras";
    if (name.size() > kSuffix.size() && name.ends_with(kSuffix)) {
        name.remove_suffix(kSuffix.size());
    }
    return name;
}

} // namespace

bool takesKarrasSpacing(StableDiffusionScheduler scheduler) {
    const SchedulerEntry& entry = schedulerEntry(scheduler);
    return entry.karrasParametersName != entry.parametersName ||
           entry.karrasParametersName.ends_with(" Karras");
}

std::optional<SamplerChoice> samplerChoice(std::string_view sampler,
                                           const std::optional<std::string>& scheduleType) {
    const bool karras = scheduleType == kKarras;
    if (scheduleType && !karras && *scheduleType != "Uniform") {
        return std::nullopt;
    }
    for (const SchedulerEntry& entry : schedulerTable()) {
        if (entry.parametersName != sampler && withoutKarras(entry.karrasParametersName) != sampler) {
            continue;
        }
        if (karras && !takesKarrasSpacing(entry.type)) {
            return std::nullopt;
        }
        return SamplerChoice{entry.type, karras ? TimeStepSpacing::karras : TimeStepSpacing::linspace};
    }
    return std::nullopt;
}

void describeSampler(const SamplerChoice& choice, GenerationParameters& parameters) {
    const SchedulerEntry& entry = schedulerEntry(choice.scheduler);
    const bool karras = choice.spacing == TimeStepSpacing::karras && takesKarrasSpacing(choice.scheduler);
    parameters.sampler = std::string(karras ? withoutKarras(entry.karrasParametersName)
                                            : entry.parametersName);
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
