#pragma once

#include "nn/layers/Activation.h"

#include <nlohmann/json.hpp>

#include <cstdint>

namespace dravelin {

// The configuration of transformers' CLIPTextModel and
// CLIPTextModelWithProjection (CLIPTextConfig), every missing key at the
// library's default (as transformers 4.36 reads it).
struct ClipTextConfig {
    // The longest token sequence this runtime builds the encoder for.
    static constexpr int64_t kMaximumPositions = 4096;

    int64_t vocabSize = 49408;
    int64_t hiddenSize = 512;
    int64_t intermediateSize = 2048;
    int64_t projectionDim = 512;
    int64_t layers = 12;
    int64_t heads = 8;
    int64_t maxPositions = 77;
    Activation activation = Activation::quickGelu;
    float layerNormEpsilon = 1e-5f;
    int64_t endTokenId = 49407;

    // Throws ConfigurationError naming the key of a wrong or unsupported
    // value.
    static ClipTextConfig read(const nlohmann::json& config);
};

} // namespace dravelin
