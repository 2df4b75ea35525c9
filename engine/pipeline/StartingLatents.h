#pragma once

#include "core/Shape.h"
#include "core/ShapedArray.h"
#include "pipeline/InpaintingBlend.h"
#include "pipeline/PipelineConfiguration.h"

#include <optional>
#include <vector>

namespace dravelin {

class Encoder;
class RandomSource;
class Scheduler;

// Where the denoising loop starts: one latent per image and, when
// inpainting, what the loop adds for the mask.
struct StartingLatents {
    std::vector<ShapedArray> latents;
    std::optional<InpaintingBlend> inpainting;
};

// Whether a denoising network's "sample" shape is an inpainting network's:
// 9 channels (latents, mask, masked image latents).
bool takesInpaintingInputs(const Shape& sampleShape);

// The latents the loop works on, [1, channels, h, w], for a network's
// "sample" shape: an inpainting network's 9 channels hold 4 latent ones.
Shape latentShapeFor(const Shape& sampleShape);

// The starting latents of a generation, drawing from `random` in this order:
// each image's starting noise, then (image-to-image and inpainting) the
// encoder's sample of the starting image, then (inpainting) its sample of
// the masked image, which is encoded whichever kind of network runs.
// Text-to-image draws the noise at the scheduler's starting sigma;
// image-to-image noises the image's latents to the first timestep of the
// strength's shortened schedule; inpainting does the same below strength 1
// and starts from the noise alone at strength 1.
//
// Throws PipelineError (startingImageProvidedWithoutEncoder) without an
// encoder where one is needed, std::invalid_argument for an inpainting
// network outside inpainting or a mask whose size differs from the image's.
StartingLatents startingLatents(const PipelineConfiguration& configuration,
                                const Scheduler& scheduler, const Shape& sampleShape,
                                Encoder* encoder, RandomSource& random);

} // namespace dravelin
