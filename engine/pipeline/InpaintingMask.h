#pragma once

#include "core/Image.h"
#include "core/ShapedArray.h"

#include <cstdint>

namespace dravelin {

// The mask of an inpainting run, as the reference pipelines read it: the
// image's grey level (ITU-R 601 luma, as 8-bit image libraries compute it,
// alpha ignored) of 128 or more repaints (1), anything darker keeps (0).
// Shape [1, 1, H, W].
ShapedArray repaintMask(const Image& mask);

// The mask at latent resolution by nearest sampling: latent pixel (y, x)
// takes mask pixel (floor(y · H / height), floor(x · W / width)), that is
// every 8th pixel at the usual scale. Shape [1, 1, height, width].
ShapedArray latentMask(const ShapedArray& mask, int64_t height, int64_t width);

// The image planes ([1, 3, H, W], values in [-1, 1]) with every repainted
// pixel set to 0 (mid grey): what an inpainting network sees of the image.
ShapedArray maskedImage(const ShapedArray& pixels, const ShapedArray& mask);

} // namespace dravelin
