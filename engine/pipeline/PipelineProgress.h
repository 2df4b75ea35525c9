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
    int64_t stepCount = 0; // steps this run takes (a scheduler evaluating twice
                           // per step counts the step once)
    std::vector<ShapedArray> currentLatentSamples;
    PipelineConfiguration configuration{""};

    bool isSafetyEnabled() const;

    // Decodes the current latents now, on the calling thread (a full decoder
    // run). A decoding failure yields an empty list rather than an error: a
    // preview is optional and must never end the generation.
    GeneratedImages currentImages() const;
    // The same through the pipeline's preview path (a tiny autoencoder or a
    // linear projection, never the full decoder): what a live preview shows.
    // Failures yield an empty list likewise.
    GeneratedImages previewImages() const;
};

} // namespace dravelin
