#pragma once

#include "pipeline/PipelineConfiguration.h"
#include "pipeline/StableDiffusionPipelineProtocol.h"

#include <cstdint>
#include <functional>

namespace dravelin {

class StableDiffusionPipeline;

// The "hires fix": generate at the model's size, enlarge each image, then
// repaint it by image-to-image at the larger size, which adds the detail a
// plain enlargement lacks.
// How the first pass's result is enlarged: its decoded image by a smooth
// filter, then encoded again (the default), or its latents by bilinear
// interpolation, which skips a decode and an encode but blurs the latents,
// so that the enlarged pass needs a higher strength to sharpen them again.
enum class HiresUpscaler { image, latent };

struct HiresFix {
    // How much larger the final image is on each side (above 1).
    float scale = 2.0f;
    // The image-to-image strength of the enlarged pass, above 0 and below 1.
    float strength = 0.5f;
    // The enlarged pass's steps (before the strength shortens them).
    int64_t stepCount = 20;
    HiresUpscaler upscaler = HiresUpscaler::image;
};

// The final size of one side, in whole latent cells of 8 pixels.
int64_t enlargedLatentSide(int64_t latentSide, float scale);

// Runs both passes. The enlarging is done as `upscaler` says, and the
// enlarged pass runs the same denoising network built for the larger
// latents, with the decoder built for them too (in bands of rows on large
// images) and the image encoder built for them too (likewise). Progress goes to
// `progressHandler` for both passes (each reports its own step count);
// `passStarted` is told before each pass (0 and 1). A stop in either pass
// returns an empty list; images the safety checker withheld stay absent.
GeneratedImages generateWithHiresFix(StableDiffusionPipeline& pipeline,
                                     const PipelineConfiguration& configuration,
                                     const HiresFix& hires, const ProgressHandler& progressHandler,
                                     const std::function<void(int)>& passStarted = {});

} // namespace dravelin
