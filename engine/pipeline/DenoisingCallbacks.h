#pragma once

#include "pipeline/DenoisingLoop.h"
#include "pipeline/InpaintingBlend.h"
#include "pipeline/PipelineConfiguration.h"
#include "pipeline/StableDiffusionPipelineProtocol.h"
#include "schedulers/Scheduler.h"

#include <memory>
#include <optional>

namespace dravelin {

// What every pipeline hands the denoising loop beside its network: the
// observer that reports each step (carrying `pipeline`, the running
// pipeline's copy, so a report can decode a preview) and, when inpainting,
// the blend of the kept region after each step. Both refer to the arguments,
// which must outlive the loop.
struct DenoisingCallbacks {
    StepObserver observe;
    StepAdjuster blend;
};

DenoisingCallbacks denoisingCallbacks(std::shared_ptr<StableDiffusionPipelineProtocol> pipeline,
                                      const PipelineConfiguration& configuration,
                                      const ProgressHandler& progressHandler,
                                      const std::optional<InpaintingBlend>& inpainting,
                                      const Scheduler& scheduler);

} // namespace dravelin
