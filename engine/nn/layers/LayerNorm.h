#pragma once

#include "nn/compute/Values.h"
#include "nn/compute/WeightReader.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <cstdint>
#include <string>

namespace dravelin {

// Layer normalisation over the last dimension with a learned scale and shift
// (PyTorch's LayerNorm), for a fixed number of rows: by oneDNN into float32,
// by our own row loop into bfloat16 (for a bfloat16 product to read; oneDNN
// writes only the type it reads).
class LayerNorm {
public:
    // Reads "<prefix>.weight" and "<prefix>.bias", each [features].
    LayerNorm(const WeightReader& weights, const std::string& prefix, int64_t features,
              int64_t rows, float epsilon);
    LayerNorm(const ShapedArray& scale, const ShapedArray& shift, int64_t rows, float epsilon);
    static void declare(WeightList& list, const std::string& prefix, int64_t features);

    int64_t features() const { return features_; }
    // rows × features in, the same out in either type; a float32 `output`
    // may be `input`.
    void forward(const float* input, Values output) const;

private:
    int64_t features_;
    int64_t rows_;
    float epsilon_;
    dnnl::memory::desc desc_;
    dnnl::memory::desc scratchpadDesc_;
    dnnl::memory scale_;
    dnnl::memory shift_;
    dnnl::layer_normalization_forward normalize_;
};

} // namespace dravelin
