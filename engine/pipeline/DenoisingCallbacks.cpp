#include "pipeline/DenoisingCallbacks.h"

#include "pipeline/PipelineProgress.h"

#include <utility>

namespace dravelin {

DenoisingCallbacks denoisingCallbacks(std::shared_ptr<StableDiffusionPipelineProtocol> pipeline,
                                      const PipelineConfiguration& configuration,
                                      const ProgressHandler& progressHandler,
                                      const std::optional<InpaintingBlend>& inpainting,
                                      const Scheduler& scheduler) {
    DenoisingCallbacks callbacks;
    callbacks.observe = [&configuration, &progressHandler, pipeline = std::move(pipeline)](
                            int64_t step, int64_t stepCount,
                            const std::vector<ShapedArray>& latest,
                            const std::vector<ShapedArray>& denoised) {
        return progressHandler(PipelineProgress{
            pipeline, configuration.prompt, step, stepCount,
            configuration.useDenoisedIntermediates ? denoised : latest, configuration});
    };
    if (inpainting) {
        callbacks.blend = [&inpainting, &scheduler](std::optional<size_t> nextIndex,
                                                    std::vector<ShapedArray>& latest,
                                                    std::vector<ShapedArray>& denoised) {
            inpainting->afterStep(scheduler, nextIndex, latest, denoised);
        };
    }
    return callbacks;
}

} // namespace dravelin
