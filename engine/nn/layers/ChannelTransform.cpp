#include "nn/layers/ChannelTransform.h"

#include "nn/compute/FeatureMap.h"
#include "nn/compute/VectorClones.h"

#include <algorithm>
#include <stdexcept>

namespace dravelin {

namespace {

DRAVELIN_WIDE_VECTOR_CLONES
void affine(const float* in, float* out, int64_t pixels, int64_t channels, const float* scales,
            const float* shifts) {
    for (int64_t p = 0; p < pixels; ++p) {
        const float* source = in + p * channels;
        float* target = out + p * channels;
        for (int64_t c = 0; c < channels; ++c) {
            target[c] = source[c] * scales[c] + shifts[c];
        }
    }
}

} // namespace

ChannelTransform::ChannelTransform(int64_t images, int64_t channels, Activation activation)
    : channels_(channels), activation_(activation),
      scales_(static_cast<size_t>(images * channels), 1.0f),
      shifts_(static_cast<size_t>(images * channels), 0.0f) {}

ChannelTransform ChannelTransform::uniform(int64_t images, int64_t channels, float scale,
                                           float shift) {
    ChannelTransform result(images, channels, Activation::identity);
    std::fill(result.scales_.begin(), result.scales_.end(), scale);
    std::fill(result.shifts_.begin(), result.shifts_.end(), shift);
    return result;
}

void ChannelTransform::apply(int64_t image, const float* in, float* out, int64_t pixels) const {
    affine(in, out, pixels, channels_, scales_.data() + image * channels_,
           shifts_.data() + image * channels_);
    applyActivation(activation_, out, pixels * channels_);
}

void ChannelTransform::applyInPlace(FeatureMap& map) const {
    if (map.channels() != channels_ ||
        static_cast<size_t>(map.batch() * channels_) > scales_.size()) {
        throw std::invalid_argument("A channel transform does not fit this feature map.");
    }
    const int64_t height = map.height();
#pragma omp parallel for collapse(2) schedule(static)
    for (int64_t n = 0; n < map.batch(); ++n) {
        for (int64_t y = 0; y < height; ++y) {
            float* row = map.pixel(n, y, 0);
            apply(n, row, row, map.width());
        }
    }
}

} // namespace dravelin
