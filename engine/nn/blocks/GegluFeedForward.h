#pragma once

#include "nn/compute/WeightReader.h"
#include "nn/layers/GegluProjection.h"
#include "nn/layers/Linear.h"

#include <cstdint>
#include <string>

namespace dravelin {

// diffusers' FeedForward with the "geglu" activation: proj (dim → 2·inner)
// splits into a value half and a gate half, value·gelu(gate) (erf GELU),
// then the output projection (inner → dim) added into the residual stream.
// Weights "<prefix>.net.0.proj" and "<prefix>.net.2". Runs a block of rows
// at a time through both layers, so what passes between them stays in cache;
// in bfloat16 the gated values pass in bfloat16.
class GegluFeedForward {
public:
    GegluFeedForward(const WeightReader& weights, const std::string& prefix, int64_t dim,
                     int64_t inner, int64_t rows);
    static void declare(WeightList& list, const std::string& prefix, int64_t dim, int64_t inner);

    ValueType inputType() const { return projection_.inputType(); }

    // output += feedForward(x); both rows × dim.
    void forward(ConstValues x, float* output) const;

private:
    GegluProjection projection_;
    Linear output_;
};

} // namespace dravelin
