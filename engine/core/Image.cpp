#include "core/Image.h"

#include <stdexcept>
#include <string>

namespace dravelin {

Image::Image(int width, int height, int channels, AlphaKind alpha, std::vector<uint8_t> pixels)
    : width_(width), height_(height), channels_(channels), alpha_(alpha) {
    if (width <= 0 || height <= 0) {
        throw std::invalid_argument("An image needs a positive width and height, not " +
                                    std::to_string(width) + " × " + std::to_string(height) + ".");
    }
    if (channels != 3 && channels != 4) {
        throw std::invalid_argument("An image has 3 or 4 channels, not " +
                                    std::to_string(channels) + ".");
    }
    if ((channels == 3) != (alpha == AlphaKind::none)) {
        throw std::invalid_argument("Only a 4-channel image has an alpha channel.");
    }
    auto expected =
        static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(channels);
    if (pixels.size() != expected) {
        throw std::invalid_argument("A " + std::to_string(width) + " × " + std::to_string(height) +
                                    " image with " + std::to_string(channels) + " channels needs " +
                                    std::to_string(expected) + " bytes, not " +
                                    std::to_string(pixels.size()) + ".");
    }
    pixels_ = std::make_shared<const std::vector<uint8_t>>(std::move(pixels));
}

bool Image::operator==(const Image& other) const {
    if (width_ != other.width_ || height_ != other.height_ || channels_ != other.channels_ ||
        alpha_ != other.alpha_) {
        return false;
    }
    return pixels_ == other.pixels_ || *pixels_ == *other.pixels_;
}

} // namespace dravelin
