#include "pipeline/SchedulerTable.h"

#include "schedulers/DPMSolverMultistepScheduler.h"
#include "schedulers/LCMScheduler.h"
#include "schedulers/PNDMScheduler.h"

#include <array>
#include <stdexcept>

namespace dravelin {

namespace {

constexpr int64_t kTrainSteps = 1000;
constexpr float kBetaStart = 0.00085f;
constexpr float kBetaEnd = 0.012f;

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

constexpr std::array<SchedulerEntry, 3> kTable{{
    {StableDiffusionScheduler::pndmScheduler, "pndm", "PNDM", "PNDM", makePNDM},
    {StableDiffusionScheduler::dpmSolverMultistepScheduler, "dpm", "DPM++ 2M", "DPM++ 2M Karras",
     makeDPMSolver},
    {StableDiffusionScheduler::lcmScheduler, "lcm", "LCM", "LCM", makeLCM},
}};

} // namespace

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

std::string samplerName(const PipelineConfiguration& c) {
    const SchedulerEntry& entry = schedulerEntry(c.schedulerType);
    return std::string(c.schedulerTimestepSpacing == TimeStepSpacing::karras
                           ? entry.karrasParametersName
                           : entry.parametersName);
}

} // namespace dravelin
