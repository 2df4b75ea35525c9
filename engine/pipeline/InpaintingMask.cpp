#include "pipeline/InpaintingMask.h"

#include "pipeline/ImageConversion.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace dravelin {

ShapedArray repaintMask(const Image& mask) {
    const std::vector<uint8_t> rgba = straightRGBA(mask);
    const int64_t count = int64_t{mask.width()} * mask.height();
    ShapedArray result(Shape{1, 1, mask.height(), mask.width()});
    float* out = result.data();
    for (int64_t i = 0; i < count; ++i) {
        const uint8_t* pixel = rgba.data() + 4 * i;
        // Fixed-point luma, rounded: L = (19595 R + 38470 G + 7471 B + 2^15) / 2^16.
        const uint32_t grey = (19595u * pixel[0] + 38470u * pixel[1] + 7471u * pixel[2] + 0x8000u) >> 16;
        out[i] = grey >= 128 ? 1.0f : 0.0f;
    }
    return result;
}

ShapedArray latentMask(const ShapedArray& mask, int64_t height, int64_t width) {
    const Shape& shape = mask.shape();
    if (shape.size() != 4 || shape[0] != 1 || shape[1] != 1 || height < 1 || width < 1) {
        throw std::invalid_argument("Cannot sample a mask shaped " + describe(shape) + " to " +
                                    std::to_string(height) + " × " + std::to_string(width) + ".");
    }
    const int64_t sourceHeight = shape[2];
    const int64_t sourceWidth = shape[3];
    // The nearest-sample rule of the reference: source index = floor(i × scale),
    // with the scale in single precision.
    const float scaleY = static_cast<float>(sourceHeight) / static_cast<float>(height);
    const float scaleX = static_cast<float>(sourceWidth) / static_cast<float>(width);
    ShapedArray result(Shape{1, 1, height, width});
    float* out = result.data();
    const float* in = mask.data();
    for (int64_t y = 0; y < height; ++y) {
        const int64_t sy = std::min(static_cast<int64_t>(static_cast<float>(y) * scaleY), sourceHeight - 1);
        for (int64_t x = 0; x < width; ++x) {
            const int64_t sx =
                std::min(static_cast<int64_t>(static_cast<float>(x) * scaleX), sourceWidth - 1);
            out[y * width + x] = in[sy * sourceWidth + sx];
        }
    }
    return result;
}

ShapedArray maskedImage(const ShapedArray& pixels, const ShapedArray& mask) {
    const Shape& shape = pixels.shape();
    if (shape.size() != 4 || mask.shape() != Shape{shape[0], 1, shape[2], shape[3]}) {
        throw std::invalid_argument("The mask " + describe(mask.shape()) +
                                    " does not cover the image " + describe(shape) + ".");
    }
    ShapedArray result = pixels;
    const int64_t plane = shape[2] * shape[3];
    float* out = result.data();
    const float* m = mask.data();
    for (int64_t c = 0; c < shape[1]; ++c) {
        for (int64_t i = 0; i < plane; ++i) {
            if (!(m[i] < 0.5f)) {
                out[c * plane + i] = 0.0f;
            }
        }
    }
    return result;
}

} // namespace dravelin
