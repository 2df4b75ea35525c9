#include "nn/layers/PixelTokens.h"

#include "nn/compute/Profiler.h"
#include "nn/compute/VectorClones.h"

#include <stdexcept>

namespace dravelin {

namespace {

DRAVELIN_WIDE_VECTOR_CLONES
void addRow(float* target, const float* added, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        target[i] += added[i];
    }
}

void checkImage(const FeatureMap& map, int64_t image) {
    if (image < 0 || image >= map.batch()) {
        throw std::out_of_range("A map of " + std::to_string(map.batch()) +
                                " images has no image " + std::to_string(image) + ".");
    }
}

} // namespace

void PixelTokens::gather(const FeatureMap& map, int64_t image, const ChannelTransform& transform,
                         float* tokens) {
    checkImage(map, image);
    if (transform.channels() != map.channels()) {
        throw std::invalid_argument("A channel transform does not fit this feature map.");
    }
    ProfileScope profile("pixel tokens", 0);
    const int64_t width = map.width();
    const int64_t rowFloats = width * map.channels();
#pragma omp parallel for schedule(static)
    for (int64_t y = 0; y < map.height(); ++y) {
        transform.apply(image, map.pixel(image, y, 0), tokens + y * rowFloats, width);
    }
}

void PixelTokens::addInto(FeatureMap& map, int64_t image, const float* tokens) {
    checkImage(map, image);
    ProfileScope profile("pixel tokens", 0);
    const int64_t rowFloats = map.width() * map.channels();
#pragma omp parallel for schedule(static)
    for (int64_t y = 0; y < map.height(); ++y) {
        addRow(map.pixel(image, y, 0), tokens + y * rowFloats, rowFloats);
    }
}

} // namespace dravelin
