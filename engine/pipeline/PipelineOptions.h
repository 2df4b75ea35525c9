#pragma once

// The selectors a generation is configured with.

#include "random/RandomSourceKind.h"
#include "schedulers/SchedulerOptions.h"

namespace dravelin {

enum class PipelineMode { textToImage, imageToImage };

} // namespace dravelin
