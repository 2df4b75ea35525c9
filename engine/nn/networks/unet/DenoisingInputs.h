#pragma once

#include "nn/compute/FeatureMap.h"
#include "nn/compute/Matrix.h"
#include "runtime/FeatureProvider.h"
#include "runtime/ModelDescription.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravelin {

// Sizes fixed when a denoising-shaped network is built.
struct UNetShape {
    int64_t batch;
    int64_t height;
    int64_t width;
    // Text positions of "encoder_hidden_states".
    int64_t contextLength;
};

// The inputs the denoising network and the ControlNet share: "sample"
// [batch, in, h, w], "timestep" [batch] and "encoder_hidden_states"
// [batch, cross_attention_dim, 1, positions] (the pipeline's layout).
struct DenoisingInputs {
    FeatureMap sample;
    // One per image; points into `inputs`, which must outlive it.
    const float* timesteps;
    // One positions × cross_attention_dim matrix per image.
    std::vector<Matrix> contexts;

    // Throws std::invalid_argument, naming `network` and the input, for an
    // input of another shape than the network was built for.
    static DenoisingInputs read(const FeatureProvider& inputs, const UNetShape& shape,
                                int64_t inChannels, int64_t contextDim, const std::string& network);
};

// The sizes the description in force (a bundle may override the
// configuration's) gives these inputs; throws std::invalid_argument when they
// do not fit together.
UNetShape denoisingShape(const ModelDescription& description, int64_t inChannels,
                         int64_t contextDim, const std::string& network);

// Throws std::invalid_argument naming `network` and the input unless the
// description in force gives `name` the shape `expected`.
void requireInputShape(const ModelDescription& description, const std::string& name,
                       const Shape& expected, const std::string& network);

} // namespace dravelin
