#include "pipeline/SchedulerTable.h"

#include "schedulers/DDIMScheduler.h"
#include "schedulers/DPMSolverMultistepScheduler.h"
#include "schedulers/EulerAncestralDiscreteScheduler.h"
#include "schedulers/EulerDiscreteScheduler.h"
#include "schedulers/HeunDiscreteScheduler.h"
#include "schedulers/LCMScheduler.h"
#include "schedulers/PNDMScheduler.h"
#include "schedulers/SDEDPMSolverMultistepScheduler.h"
#include "schedulers/UniPCMultistepScheduler.h"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace dravelin {

namespace {

constexpr int64_t kTrainSteps = 1000;
constexpr float kBetaStart = 0.00085f;
constexpr float kBetaEnd = 0.012f;

using enum TimeStepSpacing;
constexpr std::array kLeadingOnly{leading};
constexpr std::array kDPMSpacings{linspace, leading, karras};
constexpr std::array kAllSpacings{linspace, leading, trailing, karras};
constexpr std::array kNoKarras{linspace, leading, trailing};

std::unique_ptr<Scheduler> makePNDM(const PipelineConfiguration& c) {
    return std::make_unique<PNDMScheduler>(c.stepCount, kTrainSteps, BetaSchedule::scaledLinear,
                                           kBetaStart, kBetaEnd);
}

std::unique_ptr<Scheduler> makeDPMSolver(const PipelineConfiguration& c) {
    return std::make_unique<DPMSolverMultistepScheduler>(c.stepCount, kTrainSteps,
                                                         BetaSchedule::scaledLinear, kBetaStart,
                                                         kBetaEnd, c.schedulerTimestepSpacing);
}

std::unique_ptr<Scheduler> makeLCM(const PipelineConfiguration& c) {
    // Its betas as diffusers' configuration gives them, in double.
    return std::make_unique<LCMScheduler>(c.stepCount, kTrainSteps, BetaSchedule::scaledLinear,
                                          0.00085, 0.012);
}

template <typename Class> std::unique_ptr<Scheduler> make(const PipelineConfiguration& c) {
    return std::make_unique<Class>(c.stepCount, c.schedulerTimestepSpacing);
}

using enum StableDiffusionScheduler;
constexpr std::array<SchedulerEntry, 9> kTable{{
    {pndmScheduler, "pndm", "PNDM", leading, kLeadingOnly, makePNDM},
    {dpmSolverMultistepScheduler, "dpm", "DPM++ 2M", linspace, kDPMSpacings, makeDPMSolver},
    {lcmScheduler, "lcm", "LCM", leading, kLeadingOnly, makeLCM},
    {eulerDiscreteScheduler, "euler", "Euler", linspace, kAllSpacings,
     make<EulerDiscreteScheduler>},
    {eulerAncestralDiscreteScheduler, "euler-a", "Euler a", linspace, kNoKarras,
     make<EulerAncestralDiscreteScheduler>},
    {ddimScheduler, "ddim", "DDIM", leading, kNoKarras, make<DDIMScheduler>},
    {heunDiscreteScheduler, "heun", "Heun", linspace, kAllSpacings, make<HeunDiscreteScheduler>},
    {uniPCMultistepScheduler, "unipc", "UniPC", linspace, kAllSpacings,
     make<UniPCMultistepScheduler>},
    {sdeDPMSolverMultistepScheduler, "dpm-sde", "DPM++ 2M SDE", linspace, kAllSpacings,
     make<SDEDPMSolverMultistepScheduler>},
}};

} // namespace

bool SchedulerEntry::takes(TimeStepSpacing spacing) const {
    return std::find(spacings.begin(), spacings.end(), spacing) != spacings.end();
}

std::span<const SchedulerEntry> schedulerTable() {
    return kTable;
}

const SchedulerEntry& schedulerEntry(StableDiffusionScheduler type) {
    for (const SchedulerEntry& entry : kTable) {
        if (entry.type == type) {
            return entry;
        }
    }
    throw std::logic_error("A scheduler has no row in the scheduler table.");
}

const SchedulerEntry* schedulerNamed(std::string_view commandLineName) {
    for (const SchedulerEntry& entry : kTable) {
        if (entry.commandLineName == commandLineName) {
            return &entry;
        }
    }
    return nullptr;
}

std::string_view spacingName(TimeStepSpacing spacing) {
    for (const TimeStepSpacingName& entry : kTimeStepSpacingNames) {
        if (entry.spacing == spacing) {
            return entry.name;
        }
    }
    throw std::logic_error("A timestep spacing has no row in the spacing table.");
}

std::optional<TimeStepSpacing> spacingNamed(std::string_view commandLineName) {
    for (const TimeStepSpacingName& entry : kTimeStepSpacingNames) {
        if (entry.name == commandLineName) {
            return entry.spacing;
        }
    }
    return std::nullopt;
}

std::string samplerName(const PipelineConfiguration& c) {
    return std::string(schedulerEntry(c.schedulerType).parametersName);
}

std::optional<std::string> scheduleTypeName(const PipelineConfiguration& c) {
    const SchedulerEntry& entry = schedulerEntry(c.schedulerType);
    if (c.schedulerTimestepSpacing == karras && entry.takes(karras)) {
        return "Karras";
    }
    return std::nullopt;
}

} // namespace dravelin
