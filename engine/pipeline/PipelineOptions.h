#pragma once

// The selectors a generation is configured with.

namespace dravelin {

enum class PipelineMode { textToImage, imageToImage };

// Each case has its row in the scheduler table (SchedulerTable.h).
enum class StableDiffusionScheduler { pndmScheduler, dpmSolverMultistepScheduler, lcmScheduler };

// How a scheduler spreads its inference steps over the training timesteps.
enum class TimeStepSpacing { linspace, leading, karras };

enum class StableDiffusionRNG { numpyRNG, torchRNG, nvidiaRNG };

// How prompt texts are read.
enum class PromptSyntax {
    // As the text encoder takes them: cut at its length, with a warning.
    plain,
    // The text as it stands in chunks of 75 tokens joined along the sequence,
    // with textual-inversion words.
    chunked,
    // Chunks, with emphasis brackets and BREAK read as such.
    emphasis
};

} // namespace dravelin
