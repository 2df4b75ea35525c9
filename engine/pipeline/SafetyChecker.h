#pragma once

#include "core/Image.h"
#include "core/ShapedArray.h"
#include "runtime/ResourceManaging.h"
#include "runtime/ManagedMLModel.h"

#include <array>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

namespace dravelin {

// An image classifier that decides whether a generated image may be shown.
class SafetyChecker : public ResourceManaging {
public:
    class SafetyCheckError : public std::runtime_error {
    public:
        enum class Case {
            imageResizeFailure,
            imageToFloatFailure,
            modelInputFailure,
            unexpectedModelOutput
        };
        explicit SafetyCheckError(Case errorCase);
        Case errorCase() const { return case_; }

    private:
        Case case_;
    };

    using Planes = std::array<std::vector<uint8_t>, 3>;

    SafetyChecker(const std::filesystem::path& modelURL, const ModelConfiguration& configuration);

    void loadResources() override { model_->loadResources(); }
    void unloadResources() noexcept override { model_->unloadResources(); }

    // True when the model does not flag the image.
    bool isSafe(const Image& image);

    // The image stretched to width × height; any alpha is dropped later.
    static Image resizeToRGBA(const Image& image, int width, int height);
    // Red, green and blue planes of the image's pixels.
    static Planes getRGBPlanes(const Image& image);
    // Planes of a width × height image to [1, 3, height, width], normalised
    // with the classifier's per-channel mean and standard deviation.
    static ShapedArray normalizeToFloatShapedArray(const Planes& planes, int width, int height);

    const std::shared_ptr<ManagedMLModel>& model() const { return model_; }

private:
    std::shared_ptr<ManagedMLModel> model_;
};

} // namespace dravelin
