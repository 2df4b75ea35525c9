#pragma once

#include "core/Image.h"
#include "core/ShapedArray.h"
#include "random/RandomSource.h"
#include "runtime/ResourceManaging.h"
#include "runtime/ManagedMLModel.h"

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace dravelin {

// A starting image to one latent through the VAE encoder: the model gives a
// diagonal Gaussian (mean, log-variance) and one sample is drawn from it with
// the generation's random source.
class Encoder : public ResourceManaging {
public:
    class Error : public std::runtime_error {
    public:
        enum class Case { sampleInputShapeNotCorrect };
        explicit Error(Case errorCase);
        Case errorCase() const { return case_; }
        std::string_view rawValue() const { return "sampleInputShapeNotCorrect"; }

    private:
        Case case_;
    };

    Encoder(const std::filesystem::path& modelURL, const ModelConfiguration& configuration);

    void loadResources() override { model_->loadResources(); }
    void unloadResources() noexcept override { model_->unloadResources(); }

    FeatureDescription inputDescription() const;
    Shape inputShape() const { return inputDescription().shape; }

    // The image must have the model's input size (it is never resized), or
    // be larger on both sides: then a copy of the encoder built for its size
    // encodes it whole (in bands of rows when it is large, with the same
    // result). Draws 4 × h × w values from `random`, only after the
    // prediction succeeded.
    ShapedArray encode(const Image& image, float scaleFactor, RandomSource& random);
    // The same from image planes [1, 3, H, W] with values in [-1, 1].
    ShapedArray encode(ShapedArray pixels, float scaleFactor, RandomSource& random);

    const std::shared_ptr<ManagedMLModel>& model() const { return model_; }

private:
    std::shared_ptr<ManagedMLModel> model_;
};

} // namespace dravelin
