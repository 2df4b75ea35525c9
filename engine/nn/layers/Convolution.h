#pragma once

#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/FeatureMap.h"
#include "nn/compute/WeightReader.h"
#include "nn/layers/ConvolutionInput.h"
#include "nn/layers/ConvolutionPrimitive.h"
#include "nn/layers/TapProduct.h"
#include "runtime/ComputePrecision.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// Zero padding of a convolution, the same on both axes: `before` rows above
// and columns to the left, `after` rows below and columns to the right. Each
// is 0 or 1, which the feature map's frame provides.
struct ConvolutionPadding {
    int before;
    int after;
};

// A 2-D convolution with bias (PyTorch's Conv2d, square 1×1 or 3×3 kernel,
// stride 1 or 2), on feature maps.
//
// Where oneDNN has an AVX-512 or AMX kernel for the layer on this processor
// (chosen once, at construction), it runs oneDNN's convolution: the weights are reordered once
// into that kernel's layout, the bias and a residual sum are fused into it,
// and it reads the framed map's rows as they lie (a 3×3 kernel computes the
// frame columns too, cleared afterwards). Inputs that are produced on the way
// in (normalised, upsampled) or rounded to bfloat16 are laid out a band of
// rows at a time, so no whole copy of the input is stored.
//
// Elsewhere each kernel tap is one matrix product of the input's pixels
// (rows) by the tap's weights, run by oneDNN's GEMM straight on the framed
// map: a 3×3 tap is the same product shifted by a row or a column. The
// weights are rearranged once, at construction, into one [in, out] matrix per
// tap. In bfloat16 the taps are held in bfloat16, each band of input rows is
// rounded to bfloat16 once, and oneDNN's bfloat16 matrix multiply accumulates
// the taps in float32. DRAVELIN_CONVOLUTION=taps chooses this way everywhere
// (to compare the two).
class Convolution {
public:
    // Reads "<prefix>.weight" [out, in, k, k] and "<prefix>.bias" [out];
    // computes in the reader's precision.
    Convolution(const WeightReader& weights, const std::string& prefix, int64_t inChannels,
                int64_t outChannels, int kernel, int stride = 1,
                std::optional<ConvolutionPadding> padding = std::nullopt);
    // Without a padding, the kernel's own: 1 for 3×3, none for 1×1.
    Convolution(const ShapedArray& weight, const ShapedArray& bias, int stride = 1,
                std::optional<ConvolutionPadding> padding = std::nullopt,
                ComputePrecision precision = ComputePrecision::float32);
    static void declare(WeightList& list, const std::string& prefix, int64_t inChannels,
                        int64_t outChannels, int kernel);

    int64_t inChannels() const { return inChannels_; }
    int64_t outChannels() const { return outChannels_; }
    int kernel() const { return kernel_; }
    int stride() const { return stride_; }
    int64_t outputSize(int64_t inputSize) const;

    // A new map holding the convolution of the input.
    FeatureMap forward(const ConvolutionInput& input) const;
    // Adds the convolution of the input to `output` (a residual sum), which
    // must have the output's shape.
    void accumulate(const ConvolutionInput& input, FeatureMap& output) const;

    // Multiply-adds × 2 for one run on this input.
    double flops(const ConvolutionInput& input) const;
    // Whether oneDNN's convolution runs this layer (else the taps do).
    bool runsOneDnnKernel() const { return primitive_.available(); }

private:
    void checkShapes(const ConvolutionInput& input, const FeatureMap& output) const;
    void run(const ConvolutionInput& input, FeatureMap& output, bool accumulate) const;
    void runStrided(const ConvolutionInput& input, FeatureMap& output, bool accumulate) const;
    // Sets (or adds) the bias on `positions` output pixels.
    void startPositions(float* output, int64_t positions, bool accumulate) const;
    // Adds the products of every tap for `positions` output pixels; `source`
    // is the input pixel under the first tap of the first output pixel,
    // `rowStride` the floats between input rows and `pixelStride` between
    // the input pixels of consecutive output pixels.
    void addTaps(const float* source, int64_t rowStride, int64_t pixelStride, float* output,
                 int64_t positions) const;
    // The same from a band of bfloat16 input pixels, `stride` pixels apart.
    void addTapsBfloat16(const uint16_t* source, int64_t rowStride, float* output,
                         int64_t positions) const;
    void runBfloat16(const ConvolutionInput& input, FeatureMap& output, bool accumulate) const;
    void runStridedBfloat16(const ConvolutionInput& input, FeatureMap& output,
                            bool accumulate) const;
    const char* profileCategory(const ConvolutionInput& input) const;
    void layOutTaps(const ShapedArray& weight);
    // oneDNN's convolution, a band of output rows at a time.
    void runPrimitive(const ConvolutionInput& input, FeatureMap& output, bool accumulate) const;
    void runStridedPrimitive(const ConvolutionInput& input, FeatureMap& output,
                             bool accumulate) const;

    int64_t inChannels_;
    int64_t outChannels_;
    int kernel_;
    int stride_;
    ConvolutionPadding padding_;
    ComputePrecision precision_;
    AlignedBuffer taps_;    // [kernel²][in][out], float32 or bfloat16 values
    TapProduct tapProduct_; // bfloat16 only
    ConvolutionPrimitive primitive_;

    std::vector<float> bias_;
};

} // namespace dravelin
