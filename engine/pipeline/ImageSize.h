#pragma once

#include "runtime/ModelConfiguration.h"

#include <cstdint>
#include <string>

namespace dravelin {

// Image sides the pipelines generate at: multiples of a latent cell (8
// pixels) from 64 to 2048. A size the networks were not exported at works;
// how good the image is at it is the user's choice.
inline constexpr int64_t kLatentCell = 8;
inline constexpr int64_t kSmallestImageSide = 64;
inline constexpr int64_t kLargestImageSide = 2048;

// Throws std::invalid_argument saying what `what` (a width or height) must be.
void checkImageSide(const std::string& what, int64_t side);

// The configuration with the networks' image and latent inputs sized for
// images of width × height: the denoising network's and the ControlNet's
// "sample" and the decoders' "z" to latents an eighth of it, the encoders'
// "x" and the ControlNet's "controlnet_cond" to the image. Throws like
// checkImageSide.
ModelConfiguration sizedForImages(ModelConfiguration configuration, int64_t width, int64_t height);

} // namespace dravelin
