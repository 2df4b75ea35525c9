#pragma once

#include "pipeline/PipelineConfiguration.h"
#include "schedulers/Scheduler.h"

#include <memory>
#include <optional>
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
    // The sampler's name in a PNG's "parameters", as image tools write it
    // (Karras spacing is written beside it as "Schedule type: Karras").
    std::string_view parametersName;
    // The spacing the scheduler's own class uses when none is asked for, and
    // every spacing it takes (the first alone where it has only its own).
    TimeStepSpacing defaultSpacing;
    std::span<const TimeStepSpacing> spacings;
    // The scheduler for a configuration, with the pipelines' training
    // schedule (1000 steps, scaled-linear betas 0.00085 to 0.012).
    std::unique_ptr<Scheduler> (*make)(const PipelineConfiguration& configuration);

    bool takes(TimeStepSpacing spacing) const;
};

std::span<const SchedulerEntry> schedulerTable();
// Every enum case has a row.
const SchedulerEntry& schedulerEntry(StableDiffusionScheduler type);
// Null when no scheduler has that command-line name.
const SchedulerEntry* schedulerNamed(std::string_view commandLineName);

// A spacing's name in kTimeStepSpacingNames ("karras").
std::string_view spacingName(TimeStepSpacing spacing);
// Absent when no spacing has that name.
std::optional<TimeStepSpacing> spacingNamed(std::string_view commandLineName);

// The "Sampler" of a PNG's parameters for a configuration.
std::string samplerName(const PipelineConfiguration& configuration);
// The "Schedule type" beside it: "Karras" with Karras spacing, else absent.
std::optional<std::string> scheduleTypeName(const PipelineConfiguration& configuration);

} // namespace dravelin
