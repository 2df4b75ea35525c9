#include "pipeline/ImageFitting.h"

#include "pipeline/ImageResize.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace dravelin {

Image fitToSize(const Image& image, int width, int height) {
    if (width < 1 || height < 1) {
        throw std::invalid_argument("Cannot fit an image to " + std::to_string(width) + " × " +
                                    std::to_string(height) + ".");
    }
    if (image.width() == width && image.height() == height) {
        return image;
    }
    // The smallest scale that covers both sides; the rounding never leaves a
    // side short of the target.
    const double scale = std::max(static_cast<double>(width) / image.width(),
                                  static_cast<double>(height) / image.height());
    const int scaledWidth = std::max(width, static_cast<int>(std::lround(image.width() * scale)));
    const int scaledHeight =
        std::max(height, static_cast<int>(std::lround(image.height() * scale)));
    const Image scaled = resizeToRGBA(image, scaledWidth, scaledHeight);
    const int left = (scaledWidth - width) / 2;
    const int top = (scaledHeight - height) / 2;
    const std::vector<uint8_t>& source = scaled.pixels();
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        const auto from = source.begin() + (static_cast<ptrdiff_t>(top + y) * scaledWidth + left) * 4;
        std::copy(from, from + static_cast<ptrdiff_t>(width) * 4,
                  pixels.begin() + static_cast<ptrdiff_t>(y) * width * 4);
    }
    return Image(width, height, 4, AlphaKind::straight, std::move(pixels));
}

} // namespace dravelin
