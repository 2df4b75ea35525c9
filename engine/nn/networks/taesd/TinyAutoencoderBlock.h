#pragma once

#include "nn/compute/FeatureMap.h"
#include "nn/compute/WeightReader.h"
#include "nn/layers/Activation.h"
#include "nn/layers/Convolution.h"

#include <cstdint>
#include <string>

namespace dravelin {

// diffusers' AutoencoderTinyBlock at one width: three 3×3 convolutions with
// the activation between them, the block's input added back, then ReLU.
// Weights "<prefix>.conv.{0,2,4}.{weight,bias}".
class TinyAutoencoderBlock {
public:
    TinyAutoencoderBlock(const WeightReader& weights, const std::string& prefix, int64_t channels,
                         Activation activation);
    static void declare(WeightList& list, const std::string& prefix, int64_t channels);

    // Consumes the input: the residual sum is made in its storage.
    FeatureMap forward(FeatureMap input) const;

private:
    Activation activation_;
    Convolution first_;
    Convolution second_;
    Convolution third_;
};

} // namespace dravelin
