#pragma once

#include "nn/layers/Activation.h"

#include <nlohmann/json.hpp>

#include <cstdint>

namespace dravelin {

// The configuration of diffusers' StableDiffusionSafetyChecker: transformers'
// CLIPConfig, of which the checker reads the vision tower's settings and the
// top-level "projection_dim". Missing keys take the library's defaults (as
// transformers 4.36 reads them).
struct SafetyCheckerConfig {
    // The CLIP vision transformer (CLIPVisionConfig).
    int64_t hiddenSize = 768;
    int64_t intermediateSize = 3072;
    int64_t layers = 12;
    int64_t heads = 12;
    int64_t channels = 3;
    int64_t imageSize = 224;
    int64_t patchSize = 32;
    Activation activation = Activation::quickGelu;
    float layerNormEpsilon = 1e-5f;
    // Width of the image embedding compared with the concepts.
    int64_t projectionDim = 512;

    // The checker's fixed concept counts.
    static constexpr int64_t kConcepts = 17;
    static constexpr int64_t kSpecialCareConcepts = 3;

    // Patches along each side: the strided patch convolution drops a
    // remainder narrower than a patch.
    int64_t grid() const { return imageSize / patchSize; }
    int64_t patches() const { return grid() * grid(); }
    // The class token and one position per patch.
    int64_t positions() const { return patches() + 1; }

    // Throws ConfigurationError naming the key of a wrong or unsupported
    // value.
    static SafetyCheckerConfig read(const nlohmann::json& config);
};

} // namespace dravelin
