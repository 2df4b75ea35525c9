#include "pipeline/HiresFix.h"

#include "pipeline/ImageResize.h"
#include "pipeline/LatentResize.h"
#include "pipeline/StableDiffusionPipeline.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

int64_t enlargedLatentSide(int64_t latentSide, float scale) {
    if (!(scale > 1.0f) || !(scale <= 8.0f)) {
        throw std::invalid_argument("The hires fix enlarges by a factor above 1 and at most 8, "
                                    "not " + std::to_string(scale) + ".");
    }
    return static_cast<int64_t>(std::lround(static_cast<double>(latentSide) * scale));
}

GeneratedImages generateWithHiresFix(StableDiffusionPipeline& pipeline,
                                     const PipelineConfiguration& c, const HiresFix& hires,
                                     const ProgressHandler& progressHandler,
                                     const std::function<void(int)>& passStarted) {
    if (!(hires.strength > 0.0f && hires.strength < 1.0f)) {
        throw std::invalid_argument("The hires fix strength must be above 0 and below 1.");
    }
    if (!pipeline.encoder) {
        throw std::invalid_argument("The hires fix needs the model's image encoder "
                                    "(VAEEncoder.model).");
    }
    if (pipeline.controlNet) {
        throw std::invalid_argument("The hires fix does not run with a ControlNet.");
    }
    const Shape sample = pipeline.unet.latentSampleShape();
    if (sample.size() != 4) {
        throw std::invalid_argument("The denoising network's \"sample\" input is not an image.");
    }
    const int64_t height = enlargedLatentSide(sample[2], hires.scale);
    const int64_t width = enlargedLatentSide(sample[3], hires.scale);
    // Checked before the first pass, so a mistake costs nothing.
    StableDiffusionPipeline large = pipeline;
    large.unet = pipeline.unet.resized(height, width);

    if (passStarted) {
        passStarted(0);
    }
    PipelineConfiguration refine = c;
    refine.imageCount = 1;
    refine.maskImage.reset();
    refine.stepCount = hires.stepCount;
    refine.strength = hires.strength;
    GeneratedImages enlarged;
    if (hires.upscaler == HiresUpscaler::latent) {
        // The first pass stops at its latents, which are enlarged as they are;
        // only the final image is decoded (and checked for safety).
        const std::optional<std::vector<ShapedArray>> small =
            pipeline.generateLatents(c, progressHandler);
        if (!small) {
            return {};
        }
        if (passStarted) {
            passStarted(1);
        }
        refine.startingImage.reset();
        for (const ShapedArray& latent : *small) {
            refine.startingLatent = resizeLatentBilinear(latent, height, width);
            GeneratedImages result = large.generateImages(refine, progressHandler);
            if (result.empty()) {
                return {};
            }
            enlarged.push_back(result.front());
        }
        return enlarged;
    }
    const GeneratedImages small = pipeline.generateImages(c, progressHandler);
    if (small.empty()) {
        return {};
    }
    if (passStarted) {
        passStarted(1);
    }
    for (const std::optional<Image>& image : small) {
        if (!image) {
            enlarged.push_back(std::nullopt);
            continue;
        }
        // Pixels per latent cell, from the first pass's own image.
        const int64_t cell = image->width() / sample[3];
        refine.startingImage = resizeToRGBA(*image, static_cast<int>(width * cell),
                                            static_cast<int>(height * cell));
        GeneratedImages result = large.generateImages(refine, progressHandler);
        if (result.empty()) {
            return {};
        }
        enlarged.push_back(result.front());
    }
    return enlarged;
}

} // namespace dravelin
