#pragma once

#include "core/ShapedArray.h"
#include "runtime/ComputePrecision.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

namespace dravelin {

// oneDNN's own convolution for one layer's weights: dense NHWC images of one
// (source rows and columns already padded, as the caller laid them out) into
// dense NHWC float32 outputs, with the bias and, optionally, the sum onto
// what the output holds fused in.
//
// The weights are reordered once, at construction, into the layout oneDNN's
// kernel wants for a 64×64 image (in bfloat16 for a bfloat16 layer). A
// primitive is made on first use for each source size and kept; a size whose
// kernel wants another weight layout gets its own reordered copy, made once,
// which replaces the loaded one if no primitive used that yet (so a network
// run at one size keeps one copy).
// Safe to run from several threads at once.
class ConvolutionPrimitive {
public:
    ConvolutionPrimitive() = default;
    // weight [out, in, k, k], bias [out].
    ConvolutionPrimitive(const ShapedArray& weight, const ShapedArray& bias, int stride,
                         ComputePrecision precision);

    // Whether oneDNN has a kernel for this layer on this processor other than
    // its reference loops (false: the caller computes it its own way).
    bool available() const { return available_; }
    // The kernel oneDNN chose for a 64×64 image, as its verbose output names it.
    const std::string& kernelName() const { return kernelName_; }

    // source: [images, rows, columns, in] values (float32 or bfloat16 as the
    // layer computes), read with `padRows` rows of zeros added above and below
    // and `padColumns` columns left and right; output: the [images, outRows,
    // outColumns, out] float32 result.
    void run(const void* source, int64_t images, int64_t rows, int64_t columns, int padRows,
             int padColumns, float* output, bool accumulate) const;
    int64_t outputSize(int64_t paddedSize) const;

private:
    struct Made {
        dnnl::convolution_forward primitive;
        dnnl::memory::desc source;
        dnnl::memory::desc output;
        dnnl::memory::desc scratchpad;
        dnnl::memory weights;
    };
    using Key = std::tuple<int64_t, int64_t, int64_t, int, int, bool>;
    struct Cache {
        std::mutex mutex;
        std::map<Key, Made> made;
        // The weights as laid out at load, until a size wants another layout
        // before any primitive used them.
        dnnl::memory loaded;
    };
    dnnl::convolution_forward::primitive_desc describe(const Key& size,
                                                       const dnnl::memory::desc& weights) const;
    Made forSize(const Key& size) const;

    int64_t inChannels_ = 0;
    int64_t outChannels_ = 0;
    int kernel_ = 0;
    int stride_ = 1;
    dnnl::memory::data_type operands_ = dnnl::memory::data_type::f32;
    bool available_ = false;
    std::string kernelName_;
    dnnl::memory bias_;
    std::shared_ptr<Cache> cache_;
};

} // namespace dravelin
