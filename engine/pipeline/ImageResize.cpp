#include "pipeline/ImageResize.h"

#include "pipeline/ImageConversion.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace dravelin {

namespace {

// For each output position along one axis: the first source index and the
// normalised weights of the source samples it blends.
struct Taps {
    std::vector<int> first;
    std::vector<std::vector<float>> weights;
};

Taps taps(int sourceSize, int targetSize) {
    Taps result;
    const double scale = static_cast<double>(sourceSize) / targetSize;
    const double support = std::max(1.0, scale); // triangle half-width in source pixels
    for (int out = 0; out < targetSize; ++out) {
        const double centre = (out + 0.5) * scale - 0.5;
        const int begin = std::max(0, static_cast<int>(std::floor(centre - support)) + 1);
        const int end = std::min(sourceSize - 1, static_cast<int>(std::ceil(centre + support)) - 1);
        std::vector<float> weights;
        double total = 0.0;
        for (int s = begin; s <= end; ++s) {
            const double w = std::max(0.0, 1.0 - std::abs(s - centre) / support);
            weights.push_back(static_cast<float>(w));
            total += w;
        }
        if (weights.empty() || total <= 0.0) {
            // The nearest sample alone (only at extreme shrink factors).
            const int nearest =
                std::clamp(static_cast<int>(std::lround(centre)), 0, sourceSize - 1);
            result.first.push_back(nearest);
            result.weights.push_back({1.0f});
            continue;
        }
        for (float& w : weights) {
            w = static_cast<float>(w / total);
        }
        result.first.push_back(begin);
        result.weights.push_back(std::move(weights));
    }
    return result;
}

} // namespace

Image resizeToRGBA(const Image& image, int width, int height) {
    if (width < 1 || height < 1) {
        throw std::invalid_argument("Cannot resize an image to " + std::to_string(width) + " × " +
                                    std::to_string(height) + ".");
    }
    const std::vector<uint8_t> source = straightRGBA(image);
    const int sourceWidth = image.width();
    const int sourceHeight = image.height();
    const Taps across = taps(sourceWidth, width);
    const Taps down = taps(sourceHeight, height);

    // Horizontal pass into floats, then vertical pass to bytes.
    std::vector<float> rows(static_cast<size_t>(sourceHeight) * width * 4);
    for (int y = 0; y < sourceHeight; ++y) {
        const uint8_t* in = source.data() + static_cast<size_t>(y) * sourceWidth * 4;
        float* out = rows.data() + static_cast<size_t>(y) * width * 4;
        for (int x = 0; x < width; ++x) {
            const std::vector<float>& weights = across.weights[static_cast<size_t>(x)];
            const int first = across.first[static_cast<size_t>(x)];
            for (int c = 0; c < 4; ++c) {
                float sum = 0.0f;
                for (size_t k = 0; k < weights.size(); ++k) {
                    sum += weights[k] * in[(static_cast<size_t>(first) + k) * 4 + c];
                }
                out[x * 4 + c] = sum;
            }
        }
    }
    std::vector<uint8_t> pixels(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        const std::vector<float>& weights = down.weights[static_cast<size_t>(y)];
        const int first = down.first[static_cast<size_t>(y)];
        for (int i = 0; i < width * 4; ++i) {
            float sum = 0.0f;
            for (size_t k = 0; k < weights.size(); ++k) {
                sum += weights[k] * rows[(static_cast<size_t>(first) + k) * width * 4 + i];
            }
            pixels[static_cast<size_t>(y) * width * 4 + i] =
                static_cast<uint8_t>(std::clamp(std::lround(sum), 0L, 255L));
        }
    }
    return Image(width, height, 4, AlphaKind::straight, std::move(pixels));
}

} // namespace dravelin
