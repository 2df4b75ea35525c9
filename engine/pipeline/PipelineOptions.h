#pragma once

// The selectors a generation is configured with.

namespace dravelin {

// Inpainting repaints the masked part of a starting image and keeps the rest.
enum class PipelineMode { textToImage, imageToImage, inpainting };

// Each case has its row in the scheduler table (SchedulerTable.h).
enum class StableDiffusionScheduler { pndmScheduler, dpmSolverMultistepScheduler, lcmScheduler };

// How a scheduler spreads its inference steps over the training timesteps.
enum class TimeStepSpacing { linspace, leading, karras };

enum class StableDiffusionRNG { numpyRNG, torchRNG, nvidiaRNG };

} // namespace dravelin
