#pragma once

#include "core/ShapedArray.h"

#include <optional>
#include <vector>

namespace dravelin {

class Scheduler;

// What inpainting adds to the denoising loop. An inpainting network (9 input
// channels) sees the mask and the masked image's latents beside the latents
// at every evaluation. A regular network (4 channels) does not; instead,
// after every step the kept region of each image's latents is replaced by the
// starting image's latents noised to the next timestep with that image's
// starting noise, and by the clean image latents after the last step. The
// denoised estimates the previews and the final decode use keep the image's
// own latents there too.
class InpaintingBlend {
public:
    // `mask` is the latent mask [1, 1, h, w] (1 repaints); `noise` holds each
    // image's starting noise, in image order.
    InpaintingBlend(ShapedArray imageLatent, ShapedArray maskedImageLatent, ShapedArray mask,
                    std::vector<ShapedArray> noise, bool networkTakesMask);

    bool networkTakesMask() const { return networkTakesMask_; }

    // For an inpainting network: latents [b, 4, h, w] joined along the
    // channels with the mask and the masked image's latents, repeated for the
    // batch ([b, 9, h, w]). The latents unchanged otherwise.
    ShapedArray networkInput(const ShapedArray& latents) const;

    // After every image's scheduler has stepped: the blend described above.
    // `nextIndex` is the position in the scheduler's timesteps() of the
    // evaluation that follows, absent after the last one.
    void afterStep(const Scheduler& scheduler, std::optional<size_t> nextIndex,
                   std::vector<ShapedArray>& latents, std::vector<ShapedArray>& denoised) const;

    // (1 − mask) · kept + mask · repainted, element by element in single
    // precision.
    ShapedArray blend(const ShapedArray& repainted, const ShapedArray& kept) const;

private:
    ShapedArray imageLatent_;
    ShapedArray maskedImageLatent_;
    ShapedArray mask_;
    std::vector<ShapedArray> noise_;
    bool networkTakesMask_;
};

// The original sample noised to the noise level of the evaluation at `index`
// of the scheduler's timesteps(), as that scheduler's samples are:
// original + σ · noise for a sigma scheduler, else
// sqrt(ᾱ_t) · original + sqrt(1 − ᾱ_t) · noise at that (whole) timestep t.
ShapedArray noisedTo(const Scheduler& scheduler, const ShapedArray& original,
                     const ShapedArray& noise, size_t index);

} // namespace dravelin
