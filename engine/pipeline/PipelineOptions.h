#pragma once

// The selectors a generation is configured with.

#include "random/RandomSourceKind.h"
#include "schedulers/SchedulerOptions.h"

namespace dravelin {

// Inpainting repaints the masked part of a starting image and keeps the rest.
enum class PipelineMode { textToImage, imageToImage, inpainting };

} // namespace dravelin
