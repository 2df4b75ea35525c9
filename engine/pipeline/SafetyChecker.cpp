#include "pipeline/SafetyChecker.h"

#include "pipeline/ImageConversion.h"
#include "pipeline/ImageResize.h"
#include "runtime/RuntimeErrors.h"

namespace dravelin {

namespace {

constexpr std::array<float, 3> kMean{0.485f, 0.456f, 0.406f};
constexpr std::array<float, 3> kStandardDeviation{0.229f, 0.224f, 0.225f};

const char* describe(SafetyChecker::SafetyCheckError::Case errorCase) {
    using Case = SafetyChecker::SafetyCheckError::Case;
    switch (errorCase) {
    case Case::imageResizeFailure:
        return "The image could not be resized for the safety check.";
    case Case::imageToFloatFailure:
        return "The image's pixels could not be read for the safety check.";
    case Case::modelInputFailure:
        return "The safety checker's input could not be built.";
    case Case::unexpectedModelOutput:
        return "The safety checker gave no \"has_nsfw_concepts\" verdict.";
    }
    return "The safety check failed.";
}

} // namespace

SafetyChecker::SafetyCheckError::SafetyCheckError(Case errorCase)
    : std::runtime_error(describe(errorCase)), case_(errorCase) {}

SafetyChecker::SafetyChecker(const std::filesystem::path& modelURL,
                             const ModelConfiguration& configuration)
    : model_(std::make_shared<ManagedMLModel>(modelURL, configuration)) {}

Image SafetyChecker::resizeToRGBA(const Image& image, int width, int height) {
    try {
        return dravelin::resizeToRGBA(image, width, height);
    } catch (const std::invalid_argument&) {
        throw SafetyCheckError(SafetyCheckError::Case::imageResizeFailure);
    }
}

SafetyChecker::Planes SafetyChecker::getRGBPlanes(const Image& image) {
    const std::vector<uint8_t> rgba = straightRGBA(image);
    const size_t count = rgba.size() / 4;
    Planes planes;
    for (std::vector<uint8_t>& plane : planes) {
        plane.resize(count);
    }
    for (size_t i = 0; i < count; ++i) {
        for (size_t c = 0; c < 3; ++c) {
            planes[c][i] = rgba[4 * i + c];
        }
    }
    return planes;
}

ShapedArray SafetyChecker::normalizeToFloatShapedArray(const Planes& planes, int width,
                                                       int height) {
    const size_t plane = static_cast<size_t>(width) * static_cast<size_t>(height);
    ShapedArray tensor(Shape{1, 3, height, width});
    for (size_t c = 0; c < 3; ++c) {
        if (planes[c].size() != plane) {
            throw SafetyCheckError(SafetyCheckError::Case::imageToFloatFailure);
        }
        float* out = tensor.data() + c * plane;
        for (size_t i = 0; i < plane; ++i) {
            const float unit = static_cast<float>(planes[c][i]) / 255.0f;
            out[i] = (unit - kMean[c]) / kStandardDeviation[c];
        }
    }
    return tensor;
}

bool SafetyChecker::isSafe(const Image& image) {
    const Shape clipShape = model_->perform([](Model& model) {
        const std::optional<FeatureDescription> input =
            model.modelDescription().input("clip_input");
        if (!input || input->shape.size() < 4) {
            throw PredictionError("The safety checker has no [1, 3, h, w] \"clip_input\" input.");
        }
        return input->shape;
    });
    // The input is laid out [1, 3, rows, columns].
    const int height = static_cast<int>(clipShape[2]);
    const int width = static_cast<int>(clipShape[3]);
    const Image resized = resizeToRGBA(image, width, height);
    const ShapedArray clipInput = normalizeToFloatShapedArray(getRGBPlanes(resized), width, height);

    // "images" is part of the model's interface but carries nothing here.
    const FeatureProvider features({{"clip_input", clipInput},
                                    {"adjustment", ShapedArray({0.0f}, Shape{1})},
                                    {"images", ShapedArray(Shape{1, 512, 512, 3})}});
    return model_->perform([&](Model& model) {
        const FeatureProvider result = model.prediction(features);
        auto verdict = result.featureValueDictionary.find("has_nsfw_concepts");
        if (verdict == result.featureValueDictionary.end() || verdict->second.count() < 1) {
            throw SafetyCheckError(SafetyCheckError::Case::unexpectedModelOutput);
        }
        return verdict->second.data()[0] == 0.0f;
    });
}

} // namespace dravelin
