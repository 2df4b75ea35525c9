#pragma once

// The selectors a generation is configured with.

namespace dravelin {

enum class PipelineMode { textToImage, imageToImage };

// Each case has its row in the scheduler table (SchedulerTable.h).
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

enum class StableDiffusionRNG { numpyRNG, torchRNG, nvidiaRNG };

} // namespace dravelin
