#pragma once

#include "core/Image.h"
#include "core/ShapedArray.h"
#include "pipeline/PipelineOptions.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// The parameters of one generation. A plain value; every field may be changed
// after construction, which sets `prompt` and leaves the rest at the defaults.
struct PipelineConfiguration {
    explicit PipelineConfiguration(std::string prompt) : prompt(std::move(prompt)) {}

    std::string prompt;
    std::string negativePrompt;
    std::optional<Image> startingImage;
    // With a starting image: the part to repaint, white (grey level 128 and
    // above) repaints and black keeps. The same size as the starting image.
    std::optional<Image> maskImage;
    // In place of a starting image: its latents, already scaled by the
    // encoder's factor (the hires fix's latent enlargement). Image-to-image
    // only.
    std::optional<ShapedArray> startingLatent;
    float strength = 1.0f;
    float refinerStart = 0.8f;
    int64_t imageCount = 1;
    int64_t stepCount = 50;
    uint32_t seed = 0;
    float guidanceScale = 7.5f;
    std::vector<Image> controlNetInputs;
    bool disableSafety = false;
    bool useDenoisedIntermediates = false;
    StableDiffusionScheduler schedulerType = StableDiffusionScheduler::pndmScheduler;
    TimeStepSpacing schedulerTimestepSpacing = TimeStepSpacing::linspace;
    StableDiffusionRNG rngType = StableDiffusionRNG::numpyRNG;
    float encoderScaleFactor = 0.18215f;
    float decoderScaleFactor = 0.18215f;
    // The SDXL geometry rows: original and target size are heights, with
    // their widths where they differ (absent: square).
    float originalSize = 1024.0f;
    std::optional<float> originalWidth;
    float cropsCoordsTopLeft = 0.0f;
    float targetSize = 1024.0f;
    std::optional<float> targetWidth;
    float aestheticScore = 6.0f;
    float negativeAestheticScore = 2.5f;
    // Prompt conventions are for the callers that want them (the window and
    // the command line); the plain reading is the text encoder's own.
    PromptSyntax promptSyntax = PromptSyntax::plain;
    // SD 1.x: the text encoder's hidden state counted from the end that
    // conditions the image (1 the last, 2 the one before). SDXL has its own.
    int clipSkip = 1;

    // Image-to-image needs a starting image and a strength strictly below 1;
    // a NaN strength compares false and so means text-to-image. Inpainting
    // needs a starting image and a mask, and also runs at strength 1 (from
    // pure noise, the mask still keeping the rest of the image).
    PipelineMode mode() const {
        if (startingImage && maskImage && strength <= 1.0f) {
            return PipelineMode::inpainting;
        }
        return (startingImage || startingLatent) && strength < 1.0f ? PipelineMode::imageToImage
                                                                    : PipelineMode::textToImage;
    }

    bool operator==(const PipelineConfiguration& other) const = default;
};

} // namespace dravelin

template <> struct std::hash<dravelin::PipelineConfiguration> {
    size_t operator()(const dravelin::PipelineConfiguration& configuration) const noexcept;
};
