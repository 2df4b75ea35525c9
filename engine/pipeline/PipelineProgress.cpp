#include "pipeline/PipelineProgress.h"

#include <exception>

namespace dravelin {

bool PipelineProgress::isSafetyEnabled() const {
    return pipeline && pipeline->canSafetyCheck() && !configuration.disableSafety;
}

GeneratedImages PipelineProgress::currentImages() const {
    if (!pipeline) {
        return {};
    }
    try {
        return pipeline->decodeToImages(currentLatentSamples, configuration);
    } catch (const std::exception&) {
        return {};
    }
}

GeneratedImages PipelineProgress::previewImages() const {
    if (!pipeline) {
        return {};
    }
    try {
        return pipeline->decodeToPreviewImages(currentLatentSamples, configuration);
    } catch (const std::exception&) {
        return {};
    }
}

} // namespace dravelin
