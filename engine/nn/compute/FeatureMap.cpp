#include "nn/compute/FeatureMap.h"

#include "nn/compute/Profiler.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace dravelin {

FeatureMap::FeatureMap(int64_t batch, int64_t channels, int64_t height, int64_t width)
    : batch_(batch), channels_(channels), height_(height), width_(width) {
    if (batch < 1 || channels < 1 || height < 1 || width < 1) {
        throw std::invalid_argument("A feature map needs at least one image, channel, row and "
                                    "column.");
    }
    storage_ = AlignedBuffer(static_cast<size_t>(batch * imageStride()));
    clearFrame();
}

void FeatureMap::clearFrame() {
    const int64_t rowFloats = rowStride();
    for (int64_t n = 0; n < batch_; ++n) {
        std::fill_n(image(n), rowFloats, 0.0f);
        std::fill_n(image(n) + (height_ + 1) * rowFloats, rowFloats, 0.0f);
    }
    clearFrameColumns();
}

void FeatureMap::clearFrameColumns() {
    const int64_t rows = batch_ * paddedHeight();
#pragma omp parallel for schedule(static)
    for (int64_t row = 0; row < rows; ++row) {
        float* start = storage_.data() + row * rowStride();
        std::fill_n(start, channels_, 0.0f);
        std::fill_n(start + (width_ + 1) * channels_, channels_, 0.0f);
    }
}

FeatureMap FeatureMap::clone() const {
    FeatureMap copy;
    copy.batch_ = batch_;
    copy.channels_ = channels_;
    copy.height_ = height_;
    copy.width_ = width_;
    copy.storage_ = AlignedBuffer(storage_.size());
    std::copy_n(storage_.data(), storage_.size(), copy.storage_.data());
    return copy;
}

FeatureMap FeatureMap::rows(int64_t first, int64_t count) const {
    if (first < 0 || count < 1 || first + count > height_) {
        throw std::invalid_argument("Rows " + std::to_string(first) + " to " +
                                    std::to_string(first + count) + " are not within a map of " +
                                    std::to_string(height_) + " rows.");
    }
    FeatureMap band(batch_, channels_, count, width_);
    band.setRows(0, *this, first, count);
    return band;
}

void FeatureMap::setRows(int64_t at, const FeatureMap& from, int64_t fromRow, int64_t count) {
    if (from.batch_ != batch_ || from.channels_ != channels_ || from.width_ != width_ ||
        at < 0 || fromRow < 0 || count < 0 || at + count > height_ ||
        fromRow + count > from.height_) {
        throw std::invalid_argument("Rows can only be copied between maps of the same batch, "
                                    "channels and width, within both maps.");
    }
    const int64_t floats = width_ * channels_;
    for (int64_t n = 0; n < batch_; ++n) {
#pragma omp parallel for schedule(static)
        for (int64_t y = 0; y < count; ++y) {
            std::copy_n(from.pixel(n, fromRow + y, 0), floats, pixel(n, at + y, 0));
        }
    }
}

FeatureMap FeatureMap::concatenateChannels(const FeatureMap& first, const FeatureMap& second) {
    if (first.batch() != second.batch() || first.height() != second.height() ||
        first.width() != second.width()) {
        throw std::invalid_argument("Only maps of the same batch and size can be concatenated.");
    }
    ProfileScope profile("skip concatenation", 0);
    FeatureMap result(first.batch(), first.channels() + second.channels(), first.height(),
                      first.width());
    const int64_t a = first.channels();
    const int64_t b = second.channels();
    const int64_t rows = first.batch() * first.height();
#pragma omp parallel for schedule(static)
    for (int64_t row = 0; row < rows; ++row) {
        const int64_t n = row / first.height();
        const int64_t y = row % first.height();
        const float* from = first.pixel(n, y, 0);
        const float* also = second.pixel(n, y, 0);
        float* to = result.pixel(n, y, 0);
        for (int64_t x = 0; x < first.width(); ++x) {
            std::copy_n(from + x * a, a, to);
            std::copy_n(also + x * b, b, to + a);
            to += a + b;
        }
    }
    return result;
}

FeatureMap FeatureMap::fromPlanar(const ShapedArray& planar) {
    if (planar.rank() != 4) {
        throw std::invalid_argument("An image tensor has four dimensions, not " +
                                    describe(planar.shape()) + ".");
    }
    const Shape& shape = planar.shape();
    FeatureMap map(shape[0], shape[1], shape[2], shape[3]);
    const int64_t channels = shape[1], height = shape[2], width = shape[3];
    const float* source = planar.data();
#pragma omp parallel for collapse(2) schedule(static)
    for (int64_t n = 0; n < shape[0]; ++n) {
        for (int64_t y = 0; y < height; ++y) {
            float* row = map.pixel(n, y, 0);
            for (int64_t c = 0; c < channels; ++c) {
                const float* plane = source + ((n * channels + c) * height + y) * width;
                for (int64_t x = 0; x < width; ++x) {
                    row[x * channels + c] = plane[x];
                }
            }
        }
    }
    return map;
}

ShapedArray FeatureMap::toPlanar() const {
    ShapedArray planar(Shape{batch_, channels_, height_, width_});
    float* target = planar.data();
#pragma omp parallel for collapse(2) schedule(static)
    for (int64_t n = 0; n < batch_; ++n) {
        for (int64_t c = 0; c < channels_; ++c) {
            float* plane = target + (n * channels_ + c) * height_ * width_;
            for (int64_t y = 0; y < height_; ++y) {
                const float* row = pixel(n, y, 0);
                for (int64_t x = 0; x < width_; ++x) {
                    plane[y * width_ + x] = row[x * channels_ + c];
                }
            }
        }
    }
    return planar;
}

void FeatureMap::addPlanar(const ShapedArray& planar) {
    if (planar.shape() != Shape{batch_, channels_, height_, width_}) {
        throw std::invalid_argument(
            "A feature map of shape " + describe(Shape{batch_, channels_, height_, width_}) +
            " cannot take an array of shape " + describe(planar.shape()) + ".");
    }
    const float* source = planar.data();
#pragma omp parallel for collapse(2) schedule(static)
    for (int64_t n = 0; n < batch_; ++n) {
        for (int64_t y = 0; y < height_; ++y) {
            float* row = pixel(n, y, 0);
            for (int64_t c = 0; c < channels_; ++c) {
                const float* plane = source + ((n * channels_ + c) * height_ + y) * width_;
                for (int64_t x = 0; x < width_; ++x) {
                    row[x * channels_ + c] += plane[x];
                }
            }
        }
    }
}

void FeatureMap::reverseChannels() {
#pragma omp parallel for collapse(2) schedule(static)
    for (int64_t n = 0; n < batch_; ++n) {
        for (int64_t y = 0; y < height_; ++y) {
            float* row = pixel(n, y, 0);
            for (int64_t x = 0; x < width_; ++x) {
                std::reverse(row + x * channels_, row + (x + 1) * channels_);
            }
        }
    }
}

} // namespace dravelin
