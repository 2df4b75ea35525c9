#include "nn/layers/PixelTokens.h"

#include "nn/compute/Bfloat16.h"
#include "nn/compute/Profiler.h"
#include "nn/compute/VectorClones.h"

#include <omp.h>

#include <stdexcept>
#include <vector>

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
                         Values tokens) {
    checkImage(map, image);
    if (transform.channels() != map.channels()) {
        throw std::invalid_argument("A channel transform does not fit this feature map.");
    }
    ProfileScope profile("pixel tokens", 0);
    const int64_t width = map.width();
    const int64_t rowFloats = width * map.channels();
    if (tokens.type == ValueType::float32) {
#pragma omp parallel for schedule(static)
        for (int64_t y = 0; y < map.height(); ++y) {
            transform.apply(image, map.pixel(image, y, 0), tokens.floats() + y * rowFloats, width);
        }
        return;
    }
    // Each row transformed in a row of scratch per thread, then rounded.
    std::vector<float> scratch(static_cast<size_t>(omp_get_max_threads() * rowFloats));
#pragma omp parallel for schedule(static)
    for (int64_t y = 0; y < map.height(); ++y) {
        float* row = scratch.data() + omp_get_thread_num() * rowFloats;
        transform.apply(image, map.pixel(image, y, 0), row, width);
        kernels::toBfloat16(row, tokens.halves() + y * rowFloats, rowFloats);
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
