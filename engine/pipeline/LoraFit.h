#pragma once

#include "runtime/ModelConfiguration.h"

#include <filesystem>
#include <stdexcept>
#include <vector>

namespace dravelin {

// A LoRA file that does not fit a model; the message names the file and says
// why in a sentence.
class LoraFitError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Checks, from the weight files' headers only (milliseconds), that each LoRA
// file fits the model's denoising network and text encoders and changes at
// least one of their weights. The model is a model directory (bundles) or a
// single-file checkpoint, whose networks are read where they lie in the
// file. Throws LoraFitError otherwise.
void checkLorasFit(const std::filesystem::path& model, const std::vector<LoraFile>& loras);

} // namespace dravelin
