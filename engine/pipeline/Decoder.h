#pragma once

#include "core/Image.h"
#include "core/ShapedArray.h"
#include "runtime/ResourceManaging.h"
#include "runtime/ManagedMLModel.h"

#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace dravelin {

// Latents to RGB images through the VAE decoder, all latents in one batch.
class Decoder : public ResourceManaging {
public:
    Decoder(const std::filesystem::path& modelURL, const ModelConfiguration& configuration);

    void loadResources() override { model_->loadResources(); }
    void unloadResources() noexcept override { model_->unloadResources(); }

    // The model's one input name; reading it loads the model if needed.
    std::string inputName() const;

    // The latents the model was built for, [1, channels, h, w].
    Shape inputShape() const;

    // Each latent is divided by the scale factor before decoding; one image per
    // latent, in order. Latents of another size than the model's input are
    // decoded by a copy of the model built for theirs, which works in bands
    // of rows on large images with the whole image's statistics.
    std::vector<Image> decode(std::span<const ShapedArray> latents, float scaleFactor);

    const std::shared_ptr<ManagedMLModel>& model() const { return model_; }

private:
    std::shared_ptr<ManagedMLModel> model_;
};

} // namespace dravelin
