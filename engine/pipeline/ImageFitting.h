#pragma once

#include "core/Image.h"

namespace dravelin {

// An input image (a starting image or its mask) fitted to the generation's
// size as other local generation tools do it: scaled, keeping its aspect
// ratio, until it covers width × height, then cropped to the centre. An
// image already of that size is returned unchanged.
Image fitToSize(const Image& image, int width, int height);

} // namespace dravelin
