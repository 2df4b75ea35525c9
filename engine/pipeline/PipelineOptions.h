#pragma once

// The selectors a generation is configured with.

namespace dravelin {

enum class PipelineMode { textToImage, imageToImage };

enum class StableDiffusionScheduler { pndmScheduler, dpmSolverMultistepScheduler };

// How a scheduler spreads its inference steps over the training timesteps.
enum class TimeStepSpacing { linspace, leading, karras };

enum class StableDiffusionRNG { numpyRNG, torchRNG, nvidiaRNG };

} // namespace dravelin
