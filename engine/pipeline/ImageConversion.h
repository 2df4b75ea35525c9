#pragma once

#include "core/Image.h"
#include "core/ShapedArray.h"

namespace dravelin {

// Image tensors are [1, 3, H, W]: planes R, G, B, rows top to bottom.

// A decoded tensor with values nominally in [-1, 1] to an 8-bit RGB image:
// (v + 1) / 2, clamped to [0, 1], times 255, rounded. Only batch entry 0 is
// read. Throws ShapedArrayError (wrongNumberOfChannels) unless the shape is
// [N, 3, H, W], and std::domain_error when a value is not a number, so a
// broken decode never passes for a dark picture.
Image imageFromShapedArray(const ShapedArray& tensor);

// An image to planes whose 8-bit values v map to lo + v × (hi − lo) / 255.
// Colours are taken without premultiplication; fully transparent pixels
// (alpha maps to exactly 0) get −1 in all three planes.
ShapedArray planarRGBShapedArray(const Image& image, float minValue, float maxValue);

// An image to premultiplied planes in the fixed range [-1, 1] (byte / 127.5
// − 1); fully transparent pixels get `minValue` in all three planes.
ShapedArray toRGBShapedArray(const Image& image, float minValue, float maxValue);

// The image's pixels as straight (not premultiplied) 8-bit RGBA.
std::vector<uint8_t> straightRGBA(const Image& image);

} // namespace dravelin
