#include "pipeline/ImageConversion.h"

#include "pipeline/ShapedArrayError.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace dravelin {

namespace {

uint8_t roundedByte(float value) {
    return static_cast<uint8_t>(std::lround(value));
}

} // namespace

Image imageFromShapedArray(const ShapedArray& tensor) {
    const Shape& shape = tensor.shape();
    if (shape.size() != 4 || shape[1] != 3) {
        throw ShapedArrayError(ShapedArrayError::Case::wrongNumberOfChannels);
    }
    const int64_t height = shape[2];
    const int64_t width = shape[3];
    if (shape[0] < 1 || height < 1 || width < 1 || height > 65535 || width > 65535) {
        throw std::invalid_argument("Cannot make an image of a " + describe(shape) + " tensor.");
    }
    const int64_t plane = height * width;
    const float* values = tensor.data();
    std::vector<uint8_t> pixels(static_cast<size_t>(plane * 3));
    for (int64_t c = 0; c < 3; ++c) {
        const float* in = values + c * plane;
        for (int64_t i = 0; i < plane; ++i) {
            const float v = in[i];
            if (std::isnan(v)) {
                throw std::domain_error("The decoded image holds values that are not numbers; "
                                        "the model produced an invalid result.");
            }
            const float unit = std::clamp((v + 1.0f) * 0.5f, 0.0f, 1.0f);
            pixels[static_cast<size_t>(i * 3 + c)] = roundedByte(unit * 255.0f);
        }
    }
    return Image(static_cast<int>(width), static_cast<int>(height), 3, AlphaKind::none,
                 std::move(pixels));
}

std::vector<uint8_t> straightRGBA(const Image& image) {
    const size_t count = static_cast<size_t>(image.width()) * static_cast<size_t>(image.height());
    const std::vector<uint8_t>& in = image.pixels();
    std::vector<uint8_t> out(count * 4);
    for (size_t i = 0; i < count; ++i) {
        if (image.channels() == 3) {
            out[4 * i] = in[3 * i];
            out[4 * i + 1] = in[3 * i + 1];
            out[4 * i + 2] = in[3 * i + 2];
            out[4 * i + 3] = 255;
            continue;
        }
        const uint8_t alpha = in[4 * i + 3];
        for (int c = 0; c < 3; ++c) {
            uint8_t value = in[4 * i + c];
            if (image.alpha() == AlphaKind::premultiplied) {
                value =
                    alpha == 0
                        ? 0
                        : static_cast<uint8_t>(std::min(255L, std::lround(value * 255.0f / alpha)));
            }
            out[4 * i + c] = value;
        }
        out[4 * i + 3] = alpha;
    }
    return out;
}

ShapedArray planarRGBShapedArray(const Image& image, float minValue, float maxValue) {
    const int64_t plane = int64_t{image.width()} * image.height();
    const std::vector<uint8_t> rgba = straightRGBA(image);
    ShapedArray result(Shape{1, 3, image.height(), image.width()});
    float* out = result.data();
    const float range = maxValue - minValue;
    auto mapped = [&](uint8_t v) { return static_cast<float>(v) * range / 255.0f + minValue; };
    for (int64_t i = 0; i < plane; ++i) {
        const bool transparent = mapped(rgba[static_cast<size_t>(4 * i + 3)]) == 0.0f;
        for (int64_t c = 0; c < 3; ++c) {
            out[c * plane + i] = transparent ? -1.0f : mapped(rgba[static_cast<size_t>(4 * i + c)]);
        }
    }
    return result;
}

ShapedArray toRGBShapedArray(const Image& image, float minValue, float /*maxValue*/) {
    const int64_t plane = int64_t{image.width()} * image.height();
    const std::vector<uint8_t>& pixels = image.pixels();
    const int channels = image.channels();
    ShapedArray result(Shape{1, 3, image.height(), image.width()});
    float* out = result.data();
    for (int64_t i = 0; i < plane; ++i) {
        const uint8_t* pixel = pixels.data() + i * channels;
        const uint8_t alpha = channels == 4 ? pixel[3] : 255;
        for (int64_t c = 0; c < 3; ++c) {
            if (alpha == 0) {
                out[c * plane + i] = minValue;
                continue;
            }
            float value = pixel[c];
            if (image.alpha() == AlphaKind::straight) {
                value = static_cast<float>(std::lround(value * alpha / 255.0f));
            }
            out[c * plane + i] = value / 127.5f - 1.0f;
        }
    }
    return result;
}

} // namespace dravelin
