#pragma once

#include "core/ShapedArray.h"
#include "nn/blocks/ResnetBlock2D.h"
#include "nn/compute/FeatureMap.h"

#include <cstdint>
#include <functional>

namespace dravelin {

// How the VAE's halves hold their full-resolution maps: a large image's
// ResNet blocks run in bands of rows (ResnetBlock2D::forwardInBands), so only
// bands of their intermediate maps are held, while every group norm still
// takes its statistics over the whole map. The result is then the one-pass
// result up to float32 rounding: no seams, unlike tiles that each normalise
// on their own.
struct VaeBands {
    // Maps up to this many pixels are run whole.
    static constexpr int64_t kWholeUpTo = 512 * 512;

    // Rows of a band, counted on the image (the decoder's output, the
    // encoder's input); 0: whole maps.
    int64_t rows = 0;
    // Maps of at most this many pixels are run whole even in a banded image:
    // small enough to hold, and bands there would mostly recompute context.
    int64_t wholeUpTo = 0;

    // The band height for an image of height × width pixels: 0 up to
    // kWholeUpTo pixels, otherwise about 64 K pixels a band.
    static int64_t bandRows(int64_t height, int64_t width);
    // The bands for such an image, unless the environment variable named
    // `override` says "whole" or "bands" (a small image then goes in bands
    // at every level), to compare the two ways.
    static VaeBands forImage(int64_t height, int64_t width, const char* override);

    // `resnet` on `hidden`, a map of an image `imageHeight` rows high, in
    // bands where these bands apply to a map of its size.
    FeatureMap run(const ResnetBlock2D& resnet, FeatureMap hidden, int64_t imageHeight) const;

    // `one` on each image of a batch [n, …] in turn (bands hold one image at
    // a time), each result into its place in the batch's.
    static ShapedArray eachImage(const ShapedArray& batch,
                                 const std::function<ShapedArray(const ShapedArray&)>& one);
};

} // namespace dravelin
