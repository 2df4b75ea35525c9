#pragma once

// The selectors a scheduler is configured with.

#include <array>
#include <string_view>

namespace dravelin {

// Each case has its row in the pipeline's scheduler table (SchedulerTable.h).
enum class StableDiffusionScheduler {
    pndmScheduler,
    dpmSolverMultistepScheduler,
    lcmScheduler,
    eulerDiscreteScheduler,
    eulerAncestralDiscreteScheduler,
    ddimScheduler,
    heunDiscreteScheduler,
    uniPCMultistepScheduler,
    sdeDPMSolverMultistepScheduler,
};

// How a scheduler spreads its inference steps over the training timesteps.
enum class TimeStepSpacing { linspace, leading, karras, trailing };

// The spacings by the names the command line and settings files use.
struct TimeStepSpacingName {
    TimeStepSpacing spacing;
    std::string_view name;
};
inline constexpr std::array<TimeStepSpacingName, 4> kTimeStepSpacingNames{{
    {TimeStepSpacing::linspace, "linspace"},
    {TimeStepSpacing::leading, "leading"},
    {TimeStepSpacing::trailing, "trailing"},
    {TimeStepSpacing::karras, "karras"},
}};

} // namespace dravelin
