#pragma once

#include "nn/blocks/BasicTransformerBlock.h"
#include "nn/compute/FeatureMap.h"
#include "nn/layers/GroupNorm.h"
#include "nn/layers/Linear.h"
#include "nn/compute/Matrix.h"
#include "nn/compute/WeightReader.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravelin {

struct Transformer2DSettings {
    int64_t channels;
    int64_t heads;
    int64_t layers;
    int64_t groups;
    // The map's size, fixed when the network is built.
    int64_t height;
    int64_t width;
    int64_t contextDim;
    int64_t contextLength;
    // proj_in/proj_out as linear layers (SD 2.x) rather than 1×1 convolutions
    // (SD 1.x); the same product either way.
    bool linearProjection;
};

// diffusers' Transformer2DModel on a continuous input: the map,
// group-normalised (ε 1e-6), becomes one token per pixel, goes through
// proj_in, the transformer blocks (attending to the text context) and
// proj_out, and is added back into the map.
class Transformer2D {
public:
    Transformer2D(const WeightReader& weights, const std::string& prefix,
                  const Transformer2DSettings& settings);
    static void declare(WeightList& list, const std::string& prefix,
                        const Transformer2DSettings& settings);

    // Adds the transformer's output to the map in place; `contexts` has one
    // contextLength × contextDim matrix per image.
    void forward(FeatureMap& map, const std::vector<Matrix>& contexts) const;

private:
    int64_t channels_;
    int64_t positions_;
    GroupNorm norm_;
    Linear projectIn_;
    std::vector<BasicTransformerBlock> blocks_;
    Linear projectOut_;
};

} // namespace dravelin
