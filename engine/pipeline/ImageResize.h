#pragma once

#include "core/Image.h"

namespace dravelin {

// Stretches an image to exactly width × height (aspect ratio not kept) with a
// triangle filter widened by the shrink factor, so downscaling averages every
// source pixel instead of skipping some. The result is 4-channel, straight
// alpha.
Image resizeToRGBA(const Image& image, int width, int height);

} // namespace dravelin
