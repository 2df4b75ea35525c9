#pragma once

#include "nn/networks/clip/ClipTextConfig.h"
#include "nn/layers/LayerNorm.h"
#include "nn/layers/Linear.h"
#include "nn/compute/Matrix.h"
#include "nn/layers/MultiHeadAttention.h"
#include "nn/compute/WeightReader.h"

#include <cstdint>
#include <string>

namespace dravelin {

// One pre-norm transformer layer of the CLIP text model (transformers'
// CLIPEncoderLayer): x += attention(layer_norm1(x)) with a causal mask, then
// x += fc2(activation(fc1(layer_norm2(x)))). Residual sums are fused into the
// output products.
class ClipEncoderLayer {
public:
    ClipEncoderLayer(const WeightReader& weights, const std::string& prefix,
                     const ClipTextConfig& config, int64_t length);
    static void declare(WeightList& list, const std::string& prefix, const ClipTextConfig& config);

    // x: length × hidden size, updated in place.
    void forward(Matrix& x) const;

private:
    LayerNorm norm1_;
    MultiHeadAttention attention_;
    LayerNorm norm2_;
    Linear fc1_;
    Linear fc2_;
};

} // namespace dravelin
