#pragma once

#include "nn/compute/Matrix.h"
#include "nn/compute/WeightReader.h"
#include "nn/layers/Activation.h"
#include "nn/layers/LayerNorm.h"
#include "nn/layers/Linear.h"
#include "nn/layers/MultiHeadAttention.h"

#include <cstdint>
#include <string>

namespace dravelin {

// The sizes and options of one CLIP encoder layer. The text model masks its
// attention causally; the vision model lets every patch see every other.
struct ClipLayerSettings {
    int64_t hiddenSize;
    int64_t intermediateSize;
    int64_t heads;
    Activation activation;
    float layerNormEpsilon;
    bool causal;
};

// One pre-norm transformer layer of the CLIP text and vision models
// (transformers' CLIPEncoderLayer): x += attention(layer_norm1(x)), then
// x += fc2(activation(fc1(layer_norm2(x)))). Residual sums are fused into the
// output products.
class ClipEncoderLayer {
public:
    ClipEncoderLayer(const WeightReader& weights, const std::string& prefix,
                     const ClipLayerSettings& settings, int64_t length);
    static void declare(WeightList& list, const std::string& prefix,
                        const ClipLayerSettings& settings);

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
