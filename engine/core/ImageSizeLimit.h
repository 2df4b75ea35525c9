#pragma once

#include <cstdint>
#include <string_view>

namespace dravelin {

// The most pixels an image file may hold to be read: 64 megapixels. Decoded
// as 8-bit RGBA that is 256 MB, the most one image may take (also Qt's own
// default allocation limit), and it admits the largest camera photos (about
// 61 megapixels) while every network here works at 1 to 4 megapixels.
inline constexpr uint64_t maximumImagePixels = 64'000'000;

// Refuses, before anything is allocated for the pixels, an image whose width
// × height (counted in 64 bits, so no size wraps) is zero or exceeds
// maximumImagePixels: throws ImageFileError with "<description> is 30000 ×
// 30000 pixels; images up to 64 megapixels are read."
void checkImageSize(uint64_t width, uint64_t height, std::string_view description);

} // namespace dravelin
