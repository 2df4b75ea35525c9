#pragma once

#include "nn/compute/WeightReader.h"
#include "nn/layers/Linear.h"

#include <cstdint>
#include <string>

namespace dravelin {

// The input half of diffusers' GEGLU: a projection dim → 2·inner whose first
// half (the value) is multiplied by the erf GELU of its second half (the
// gate). The stored projection is split into two products; the gate's GELU
// and the multiplication by the value happen in the gate product's output
// stage, so neither the gate nor the whole projection is ever stored. In
// bfloat16 the input is rounded once for both products (or comes rounded),
// and the result is written in bfloat16 for the next product to read.
// Weights "<prefix>.weight" [2·inner, dim] and "<prefix>.bias" [2·inner].
class GegluProjection {
public:
    // Writes bfloat16 when the reader's precision is bfloat16.
    GegluProjection(const WeightReader& weights, const std::string& prefix, int64_t dim,
                    int64_t inner, int64_t rows);
    static void declare(WeightList& list, const std::string& prefix, int64_t dim, int64_t inner);

    int64_t rows() const { return rows_; }
    int64_t inner() const { return value_.outFeatures(); }

    ValueType inputType() const { return value_.inputType(); }
    ValueType outputType() const { return gate_.outputType(); }

    // x: rows × dim, output: rows × inner (of outputType()).
    void forward(ConstValues x, Values output) const;

    // The products run on blocks of this many rows (a divisor of rows()), so
    // that the value half of a block is still in cache when the gate
    // product reads it.
    int64_t blockRows() const { return value_.rows(); }
    // One block: blockRows() rows of x (a float32 x is rounded by each of
    // the two products) into as many rows of output; `value` holds
    // blockRows() × inner floats of scratch.
    void forwardBlock(ConstValues x, Values output, float* value) const;

private:
    struct Halves;
    GegluProjection(Halves halves, int64_t rows, ComputePrecision precision);

    int64_t rows_;
    // Built for a block of rows, run over the rows block by block.
    Linear value_;
    Linear gate_;
};

} // namespace dravelin
