#pragma once

#include "core/ShapedArray.h"

#include <cstdint>

namespace dravelin {

// Bilinear resize of latents [1, C, h, w] to [1, C, height, width], sampling
// at pixel centres without antialiasing (torch's interpolate, mode bilinear,
// align_corners false): the hires fix's latent enlargement.
ShapedArray resizeLatentBilinear(const ShapedArray& latent, int64_t height, int64_t width);

} // namespace dravelin
