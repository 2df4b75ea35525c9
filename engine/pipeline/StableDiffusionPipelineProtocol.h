#pragma once

#include "core/Image.h"
#include "core/ShapedArray.h"
#include "pipeline/PipelineConfiguration.h"
#include "runtime/ResourceManaging.h"

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dravelin {

struct PipelineProgress;

// One entry per generated image; absent where the safety checker rejected it.
using GeneratedImages = std::vector<std::optional<Image>>;

// Called after every denoising step; returning false stops the run.
using ProgressHandler = std::function<bool(const PipelineProgress&)>;

// What every pipeline offers its callers.
class StableDiffusionPipelineProtocol : public ResourceManaging {
public:
    virtual bool canSafetyCheck() const { return false; }

    virtual GeneratedImages generateImages(const PipelineConfiguration& configuration,
                                           const ProgressHandler& progressHandler) = 0;

    virtual GeneratedImages decodeToImages(std::span<const ShapedArray> latents,
                                           const PipelineConfiguration& configuration) = 0;

    // Cheap images of intermediate latents for previews, same entries as
    // decodeToImages; pipelines without a cheaper path decode in full.
    virtual GeneratedImages decodeToPreviewImages(std::span<const ShapedArray> latents,
                                                  const PipelineConfiguration& configuration) {
        return decodeToImages(latents, configuration);
    }

    // The bundles whose networks are in memory now, by directory name
    // ("Unet.model"), in no particular order: what a model cache reports.
    virtual std::vector<std::string> loadedModels() const { return {}; }
};

// Classifier-free guidance on a [2, ...] prediction whose entry 0 is the
// unconditional half and entry 1 the conditional one: u + (c − u) × scale,
// element-wise in single precision. The result has a leading dimension of 1.
ShapedArray performGuidance(const ShapedArray& prediction, float guidanceScale);
std::vector<ShapedArray> performGuidance(std::span<const ShapedArray> predictions,
                                         float guidanceScale);

// Text-encoder output [B, S, C] to the denoising network's layout [B, C, 1, S].
ShapedArray toHiddenStates(const ShapedArray& embeddings);

} // namespace dravelin
