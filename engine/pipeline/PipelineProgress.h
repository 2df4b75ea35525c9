#pragma once

#include "core/ShapedArray.h"
#include "pipeline/PipelineConfiguration.h"
#include "pipeline/StableDiffusionPipelineProtocol.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace dravelin {

// What a pipeline reports after each denoising step.
struct PipelineProgress {
    std::shared_ptr<StableDiffusionPipelineProtocol> pipeline;
    std::string prompt;
    int64_t step = 0;      // zero-based index of the step just finished
    int64_t stepCount = 0; // timesteps actually run
    std::vector<ShapedArray> currentLatentSamples;
    PipelineConfiguration configuration{""};

    bool isSafetyEnabled() const;

    // Decodes the current latents now, on the calling thread (a full decoder
    // run). A decoding failure yields an empty list rather than an error: a
    // preview is optional and must never end the generation.
    GeneratedImages currentImages() const;
};

} // namespace dravelin
