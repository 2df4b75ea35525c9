#pragma once

#include "core/ShapedArray.h"
#include "nn/compute/AlignedBuffer.h"

#include <cstdint>

namespace dravelin {

// A batch of images between convolutional layers: channels innermost (NHWC)
// and a one-pixel frame of zeros around each image. A 3×3 convolution then
// reads its zero padding from memory rather than testing borders, sees each
// tap as a plain matrix product, and writes straight into the layout its
// consumer reads.
class FeatureMap {
public:
    FeatureMap() = default;
    // The frame is zero; the interior is left for the producer to write.
    FeatureMap(int64_t batch, int64_t channels, int64_t height, int64_t width);

    int64_t batch() const { return batch_; }
    int64_t channels() const { return channels_; }
    int64_t height() const { return height_; }
    int64_t width() const { return width_; }
    int64_t paddedHeight() const { return height_ + 2; }
    int64_t paddedWidth() const { return width_ + 2; }
    // Floats from one padded row to the next, and from one image to the next.
    int64_t rowStride() const { return paddedWidth() * channels_; }
    int64_t imageStride() const { return paddedHeight() * rowStride(); }
    bool empty() const { return storage_.empty(); }

    // The top-left frame pixel of image n.
    float* image(int64_t n) { return storage_.data() + n * imageStride(); }
    const float* image(int64_t n) const { return storage_.data() + n * imageStride(); }
    // Interior coordinates; -1 and height()/width() address the frame.
    float* pixel(int64_t n, int64_t y, int64_t x) {
        return image(n) + (y + 1) * rowStride() + (x + 1) * channels_;
    }
    const float* pixel(int64_t n, int64_t y, int64_t x) const {
        return image(n) + (y + 1) * rowStride() + (x + 1) * channels_;
    }

    // Zeroes the frame again after a layer wrote scratch values into it.
    void clearFrame();
    // Zeroes the left and right frame columns only (what the convolutions
    // write into).
    void clearFrameColumns();

    // A copy (a skip connection keeps one while the original goes on).
    FeatureMap clone() const;
    // A new map of `count` interior rows starting at `first`, every image
    // and column, with its own zero frame (a band of a map too large to
    // process whole).
    FeatureMap rows(int64_t first, int64_t count) const;
    // Copies `count` rows of `from`, starting at its row `fromRow`, into
    // this map's rows from `at` (same batch, channels and width).
    void setRows(int64_t at, const FeatureMap& from, int64_t fromRow, int64_t count);
    // The channels of `first` followed by those of `second`, for maps of the
    // same batch and size (diffusers' torch.cat on dim 1).
    static FeatureMap concatenateChannels(const FeatureMap& first, const FeatureMap& second);

    // From and to the planar [batch, channels, height, width] arrays the
    // runtime exchanges.
    static FeatureMap fromPlanar(const ShapedArray& planar);
    ShapedArray toPlanar() const;
    // Adds a planar array of the map's own shape into it (a residual handed
    // over from another network).
    void addPlanar(const ShapedArray& planar);
    // Reverses the order of every pixel's channels (RGB ↔ BGR).
    void reverseChannels();

private:
    int64_t batch_ = 0;
    int64_t channels_ = 0;
    int64_t height_ = 0;
    int64_t width_ = 0;
    AlignedBuffer storage_;
};

} // namespace dravelin
