#pragma once

#include "pipeline/PipelineConfiguration.h"
#include "schedulers/Scheduler.h"

#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace dravelin {

// What is known of each scheduler, in one place: adding a scheduler is its
// own file and one row here.
struct SchedulerEntry {
    StableDiffusionScheduler type;
    // The name the command line takes ("--scheduler dpm").
    std::string_view commandLineName;
    // The sampler's name in a PNG's "parameters", as image tools write it;
    // the second is used with Karras timestep spacing.
    std::string_view parametersName;
    std::string_view karrasParametersName;
    // The scheduler for a configuration, with the pipelines' training
    // schedule (1000 steps, scaled-linear betas 0.00085 to 0.012).
    std::unique_ptr<Scheduler> (*make)(const PipelineConfiguration& configuration);
};

std::span<const SchedulerEntry> schedulerTable();
// Every enum case has a row.
const SchedulerEntry& schedulerEntry(StableDiffusionScheduler type);
// Null when no scheduler has that command-line name.
const SchedulerEntry* schedulerNamed(std::string_view commandLineName);

// The "Sampler" of a PNG's parameters for a configuration.
std::string samplerName(const PipelineConfiguration& configuration);

} // namespace dravelin
