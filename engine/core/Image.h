#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace dravelin {

// How the fourth channel of a 4-channel image relates to the colour channels.
enum class AlphaKind { none, straight, premultiplied };

// An immutable 8-bit raster: width × height pixels of 3 (RGB) or 4 (RGBA)
// interleaved channels, rows top to bottom. Copies share the pixel buffer.
class Image {
public:
    // Throws std::invalid_argument when the sizes or the channel count do not
    // describe `pixels`, or when the alpha kind does not fit the channel count.
    Image(int width, int height, int channels, AlphaKind alpha, std::vector<uint8_t> pixels);

    int width() const { return width_; }
    int height() const { return height_; }
    int channels() const { return channels_; }
    AlphaKind alpha() const { return alpha_; }
    const std::vector<uint8_t>& pixels() const { return *pixels_; }

    // Equal when size, format and every byte agree (a shared buffer is equal
    // without looking at the bytes).
    bool operator==(const Image& other) const;

private:
    int width_;
    int height_;
    int channels_;
    AlphaKind alpha_;
    std::shared_ptr<const std::vector<uint8_t>> pixels_;
};

} // namespace dravelin
