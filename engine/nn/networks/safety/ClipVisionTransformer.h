#pragma once

#include "nn/compute/Matrix.h"
#include "nn/compute/WeightReader.h"
#include "nn/layers/LayerNorm.h"
#include "nn/layers/PatchEmbedding.h"
#include "nn/networks/clip/ClipEncoderLayer.h"
#include "nn/networks/safety/SafetyCheckerConfig.h"

#include <string>
#include <vector>

namespace dravelin {

// transformers' CLIP vision transformer (CLIPVisionTransformer) up to its
// pooled output: the image cut into patches, each patch embedded by the
// patch convolution (a stride equal to its kernel, done here as one matrix
// product over the flattened patches), a class token in front, position
// embeddings added, the pre-layer norm, the encoder layers, and the
// post-layer norm of the class token's final state.
class ClipVisionTransformer {
public:
    // Weights under `prefix` (e.g. "vision_model.vision_model").
    ClipVisionTransformer(const SafetyCheckerConfig& config, const WeightReader& weights,
                          const std::string& prefix);
    static void declare(WeightList& list, const SafetyCheckerConfig& config,
                        const std::string& prefix);

    // `pixels`: one image, channels × height × width, with height and width
    // giving config.grid() patches per side (a remainder is dropped, as the
    // strided convolution drops it). `pooled`: hidden size floats.
    void forward(const float* pixels, int64_t height, int64_t width, float* pooled) const;

private:
    SafetyCheckerConfig config_;
    PatchEmbedding embedding_;
    LayerNorm preNorm_;
    std::vector<ClipEncoderLayer> layers_;
    LayerNorm postNorm_;
};

} // namespace dravelin
