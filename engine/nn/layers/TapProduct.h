#pragma once

#include <oneapi/dnnl/dnnl.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

namespace dravelin {

// C += A·B in bfloat16 with float32 sums, for a convolution's taps: A a run of
// input pixels (`inChannels` values each, `pixelStride` values apart), B one
// tap's [in, out] weights, C the output pixels' [out] float32 sums.
//
// oneDNN's fastest bfloat16 kernels need the number of rows when a product is
// made, so a product is made on first use for each row count the convolution
// meets (a full band of rows and the last, shorter one) and kept. Safe to use
// from several threads at once; each thread runs on its own stream and
// scratchpad.
class TapProduct {
public:
    TapProduct() = default;
    TapProduct(int64_t inChannels, int64_t outChannels, int64_t pixelStride);

    void multiplyAdd(const uint16_t* pixels, int64_t rows, const uint16_t* weights,
                     float* output) const;

private:
    struct Made {
        dnnl::matmul product;
        size_t scratchpadBytes = 0;
    };
    struct Cache {
        std::mutex mutex;
        std::map<int64_t, Made> byRows;
    };
    Made forRows(int64_t rows) const;

    int64_t inChannels_ = 0;
    int64_t outChannels_ = 0;
    int64_t pixelStride_ = 0;
    std::shared_ptr<Cache> cache_;
};

} // namespace dravelin
