#pragma once

#include "nn/compute/WeightReader.h"
#include "nn/layers/Convolution.h"

#include <cstdint>
#include <string>

namespace dravelin {

// Both halves are one nn.Sequential: layer i's weights are "<half>.layers.<i>".
inline std::string tinyLayer(const std::string& half, size_t index) {
    return half + ".layers." + std::to_string(index);
}

// The library's resampling convolutions have no bias ("<prefix>.weight" only).
inline void declareUnbiased(WeightList& list, const std::string& prefix, int64_t in, int64_t out) {
    list.push_back({prefix + ".weight", {out, in, 3, 3}});
}

inline Convolution unbiasedConvolution(const WeightReader& weights, const std::string& prefix,
                                       int64_t in, int64_t out, int stride) {
    return Convolution(weights.read(prefix + ".weight", {out, in, 3, 3}), ShapedArray({out}),
                       stride);
}

} // namespace dravelin
