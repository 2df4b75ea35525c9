#pragma once

#include "pipeline/GenerationParameters.h"
#include "pipeline/SamplerChoice.h"

#include <QString>

#include <vector>

namespace dravelin {

// What one click on Generate asks for beyond the prompt, seed, steps and
// guidance the generator holds itself.
struct GenerationOptions {
    SamplerChoice sampler;
    int width = 512;
    int height = 512;
    // Images made one after another, the seed counting up from the given one.
    int imageCount = 1;
    // The LoRAs merged into the pipeline, as the PNG's parameters name them.
    std::vector<PromptLora> loras;
    // SD 1.x models only; see GenerationSettings::clipSkip.
    int clipSkip = 1;
    QString modelName;
};

} // namespace dravelin
