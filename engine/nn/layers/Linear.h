#pragma once

#include "nn/compute/Values.h"
#include "nn/compute/WeightReader.h"
#include "nn/layers/Activation.h"
#include "runtime/ComputePrecision.h"

#include <oneapi/dnnl/dnnl.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace dravelin {

// What a linear layer does with its result besides the bias.
struct LinearOptions {
    // Applied to the biased result.
    Activation activation = Activation::identity;
    // Add the result to what the output already holds (a residual sum).
    bool accumulate = false;
    // bfloat16: weights held and inputs multiplied in bfloat16, accumulated,
    // biased and summed in float32. Unset: the weight reader's precision, or
    // float32 for weights given as arrays.
    std::optional<ComputePrecision> precision = std::nullopt;
    // Multiply the activated result, element by element, by a rows ×
    // outFeatures float32 operand that forward() is given (one half of a
    // gated unit times the other), before any residual sum. (Holding it in
    // bfloat16 too would round twice before the next product: on the
    // small test networks that moved the output half as far again.)
    bool multiplied = false;
    // What forward() writes: bfloat16 (for a bfloat16 layer only) where the
    // next product reads it, so it is rounded once, as it is written.
    ValueType output = ValueType::float32;
};

// A fully connected layer y = x·Wᵀ + b (PyTorch's Linear) over a fixed number
// of rows, by oneDNN's matrix multiply with the activation and the residual
// sum fused in. The weights are reordered once, at construction, into the
// layout (and precision) the multiply wants.
class Linear {
public:
    // weight [out, in]; bias [out] or none.
    Linear(const ShapedArray& weight, const std::optional<ShapedArray>& bias, int64_t rows,
           LinearOptions options = {});
    // Reads "<prefix>.weight" and, when `hasBias`, "<prefix>.bias"; computes
    // in the reader's precision.
    Linear(const WeightReader& weights, const std::string& prefix, int64_t inFeatures,
           int64_t outFeatures, bool hasBias, int64_t rows, LinearOptions options = {});
    static void declare(WeightList& list, const std::string& prefix, int64_t inFeatures,
                        int64_t outFeatures, bool hasBias);

    int64_t inFeatures() const { return inFeatures_; }
    int64_t outFeatures() const { return outFeatures_; }
    int64_t rows() const { return rows_; }
    double flops() const { return 2.0 * static_cast<double>(rows_ * inFeatures_ * outFeatures_); }

    // What the layer reads as it is: bfloat16 for a bfloat16 layer (which
    // also takes float32, rounding it first), else float32.
    ValueType inputType() const { return valueTypeFor(precision_); }
    ValueType outputType() const { return outputType_; }

    // input: rows × inFeatures, output: rows × outFeatures (of outputType()),
    // both dense. For a layer built with `multiplied`: output = (input·Wᵀ +
    // b, activated) × multiplier, all rows × outFeatures.
    void forward(ConstValues input, Values output) const;
    void forward(ConstValues input, Values output, const float* multiplier) const;

private:
    void run(ConstValues input, Values output, const float* multiplier) const;

    int64_t inFeatures_;
    int64_t outFeatures_;
    int64_t rows_;
    ComputePrecision precision_;
    bool multiplied_;
    ValueType outputType_;
    dnnl::memory::desc sourceDesc_;
    dnnl::memory::desc targetDesc_;
    dnnl::memory::desc multiplierDesc_;
    dnnl::memory::desc scratchpadDesc_;
    int multiplierIndex_ = 0;
    dnnl::memory weights_;
    std::optional<dnnl::memory> bias_;
    dnnl::matmul multiply_;
};

} // namespace dravelin
