#pragma once

#include "core/Image.h"
#include "core/ShapedArray.h"
#include "runtime/ResourceManaging.h"
#include "runtime/ManagedMLModel.h"

#include <atomic>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

namespace dravelin {

// The latent spaces previews know: SD 1.x's VAE and SDXL's differ, so the
// projection's factors (and the tiny autoencoder) differ too.
enum class LatentSpace { sd1, sdxl };

// Cheap images of intermediate latents, for previews while a generation runs.
// With a tiny autoencoder bundle ("PreviewDecoder.model", diffusers'
// AutoencoderTiny: TAESD for SD 1.x, TAESDXL for SDXL) the latents go through
// its decoder: a full-size image at a few percent of the full decoder's cost.
// Without one, or when it cannot decode these latents, a fixed linear map of
// the four latent channels to RGB (fitted to the latent space) is enlarged
// bilinearly to the image size.
//
// Latents are the pipeline's own, already multiplied by the full VAE's
// scaling factor (0.18215, SDXL's 0.13025). TAESD was trained on exactly
// those scaled latents, which is why its config.json gives a scaling factor
// of 1: the decoder takes the pipeline's latents divided by that factor,
// i.e. unchanged.
class PreviewDecoder : public ResourceManaging {
public:
    // The projection only.
    PreviewDecoder() = default;
    explicit PreviewDecoder(LatentSpace space) : space_(space) {}
    // `bundle` need not exist.
    PreviewDecoder(const std::filesystem::path& bundle, const ModelConfiguration& configuration,
                   LatentSpace space = LatentSpace::sd1);

    LatentSpace latentSpace() const { return space_; }

    bool hasTinyAutoencoder() const { return model_ != nullptr; }
    // The tiny autoencoder's holder; null with the projection alone.
    const std::shared_ptr<ManagedMLModel>& model() const { return model_; }
    void loadResources() override;
    void unloadResources() noexcept override;

    // One image per latent [1, 4, h, w], each (h·8) × (w·8) (the tiny
    // autoencoder's own enlargement where it decodes). Throws when a latent
    // is not shaped so, or the tiny autoencoder's output is not a number.
    std::vector<Image> decode(std::span<const ShapedArray> latents);

    // SD's VAE turns one latent pixel into 8 × 8 image pixels.
    static constexpr int kUpscale = 8;

    // The linear projection alone, enlarged `upscale` times.
    static Image project(const ShapedArray& latent, int upscale,
                         LatentSpace space = LatentSpace::sd1);

private:
    std::vector<Image> decodeWithTinyAutoencoder(std::span<const ShapedArray> latents);

    std::shared_ptr<ManagedMLModel> model_;
    float scalingFactor_ = 1.0f;
    LatentSpace space_ = LatentSpace::sd1;
    // Set once the bundle failed to load or to decode: the projection is
    // used from then on instead of retrying on every preview.
    std::shared_ptr<std::atomic<bool>> unusable_ = std::make_shared<std::atomic<bool>>(false);
};

} // namespace dravelin
