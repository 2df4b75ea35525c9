#pragma once

#include "core/Image.h"
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

    // Image-to-image needs a starting image and a strength strictly below 1;
    // a NaN strength compares false and so means text-to-image.
    PipelineMode mode() const {
        return startingImage && strength < 1.0f ? PipelineMode::imageToImage
                                                : PipelineMode::textToImage;
    }

    bool operator==(const PipelineConfiguration& other) const = default;
};

} // namespace dravelin

template <> struct std::hash<dravelin::PipelineConfiguration> {
    size_t operator()(const dravelin::PipelineConfiguration& configuration) const noexcept;
};
