#pragma once

// The selectors a generation is configured with.

#include "random/RandomSourceKind.h"
#include "schedulers/SchedulerOptions.h"

namespace dravelin {

// Inpainting repaints the masked part of a starting image and keeps the rest.
enum class PipelineMode { textToImage, imageToImage, inpainting };

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
