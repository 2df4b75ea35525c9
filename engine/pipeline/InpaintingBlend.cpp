#include "pipeline/InpaintingBlend.h"

#include "schedulers/Scheduler.h"
#include "schedulers/SigmaScheduler.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace dravelin {

InpaintingBlend::InpaintingBlend(ShapedArray imageLatent, ShapedArray maskedImageLatent,
                                 ShapedArray mask, std::vector<ShapedArray> noise,
                                 bool networkTakesMask)
    : imageLatent_(std::move(imageLatent)), maskedImageLatent_(std::move(maskedImageLatent)),
      mask_(std::move(mask)), noise_(std::move(noise)), networkTakesMask_(networkTakesMask) {
    const Shape& latent = imageLatent_.shape();
    if (latent.size() != 4 || maskedImageLatent_.shape() != latent ||
        mask_.shape() != Shape{1, 1, latent[2], latent[3]}) {
        throw std::invalid_argument("The inpainting inputs do not agree: image latents " +
                                    describe(latent) + ", masked image latents " +
                                    describe(maskedImageLatent_.shape()) + ", mask " +
                                    describe(mask_.shape()) + ".");
    }
}

ShapedArray InpaintingBlend::networkInput(const ShapedArray& latents) const {
    if (!networkTakesMask_) {
        return latents;
    }
    const int64_t batch = latents.rank() == 4 ? latents.shape()[0] : 0;
    if (batch < 1) {
        throw std::invalid_argument("The inpainting network takes latents [batch, 4, h, w], not " +
                                    describe(latents.shape()) + ".");
    }
    const std::vector<ShapedArray> masks(static_cast<size_t>(batch), mask_);
    const std::vector<ShapedArray> images(static_cast<size_t>(batch), maskedImageLatent_);
    const std::vector<ShapedArray> parts{latents, ShapedArray::concatenate(masks, 0),
                                         ShapedArray::concatenate(images, 0)};
    return ShapedArray::concatenate(parts, 1);
}

ShapedArray InpaintingBlend::blend(const ShapedArray& repainted, const ShapedArray& kept) const {
    if (repainted.shape() != kept.shape() || repainted.shape() != imageLatent_.shape()) {
        throw std::invalid_argument("Cannot blend latents " + describe(repainted.shape()) +
                                    " with " + describe(kept.shape()) + ".");
    }
    ShapedArray result(repainted.shape());
    const int64_t plane = mask_.count();
    const int64_t channels = repainted.count() / plane;
    const float* m = mask_.data();
    const float* r = repainted.data();
    const float* k = kept.data();
    float* out = result.data();
    for (int64_t c = 0; c < channels; ++c) {
        for (int64_t i = 0; i < plane; ++i) {
            const int64_t at = c * plane + i;
            out[at] = (1.0f - m[i]) * k[at] + m[i] * r[at];
        }
    }
    return result;
}

void InpaintingBlend::afterStep(const Scheduler& scheduler, std::optional<size_t> nextIndex,
                                std::vector<ShapedArray>& latents,
                                std::vector<ShapedArray>& denoised) const {
    if (networkTakesMask_) {
        return;
    }
    if (latents.size() != noise_.size() || denoised.size() != noise_.size()) {
        throw std::invalid_argument("The inpainting blend holds noise for " +
                                    std::to_string(noise_.size()) + " images, not " +
                                    std::to_string(latents.size()) + ".");
    }
    for (size_t i = 0; i < latents.size(); ++i) {
        const ShapedArray kept =
            nextIndex ? noisedTo(scheduler, imageLatent_, noise_[i], *nextIndex) : imageLatent_;
        latents[i] = blend(latents[i], kept);
        denoised[i] = blend(denoised[i], imageLatent_);
    }
}

ShapedArray noisedTo(const Scheduler& scheduler, const ShapedArray& original,
                     const ShapedArray& noise, size_t index) {
    const std::vector<float> timesteps = scheduler.timesteps();
    if (index >= timesteps.size()) {
        throw std::out_of_range("Step " + std::to_string(index) + " is outside the scheduler's " +
                                std::to_string(timesteps.size()) + " timesteps.");
    }
    if (const auto* sigmas = dynamic_cast<const SigmaScheduler*>(&scheduler)) {
        const double sigma = sigmas->sigmas().at(index);
        return weightedSum({1.0, sigma}, {original, noise});
    }
    const int timeStep = roundToInt(timesteps[index]);
    const std::vector<float>& alphasCumProd = scheduler.alphasCumProd();
    if (timeStep < 0 || static_cast<size_t>(timeStep) >= alphasCumProd.size()) {
        throw std::out_of_range("Timestep " + std::to_string(timeStep) +
                                " is outside the scheduler's tables.");
    }
    const float a = alphasCumProd[static_cast<size_t>(timeStep)];
    return weightedSum({std::sqrt(a), std::sqrt(1.0f - a)}, {original, noise});
}

} // namespace dravelin
