#include "nn/networks/unet/DenoisingInputs.h"

#include "runtime/FeatureNames.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>

namespace dravelin {

namespace {

// Bounds on the shapes a bundle may fix, checked before any layer is sized.
constexpr int64_t kMaximumBatch = 64;
constexpr int64_t kMaximumSide = 256;
constexpr int64_t kMaximumTextPositions = 4096;

void requireAtMost(const std::string& network, const std::string& what, int64_t value,
                   int64_t maximum) {
    if (value > maximum) {
        throw std::invalid_argument(network + "'s " + what + " is " + std::to_string(value) +
                                    "; it can be at most " + std::to_string(maximum) + ".");
    }
}

Shape describedShape(const ModelDescription& description, const std::string& name, size_t rank) {
    const std::optional<FeatureDescription> found = description.input(name);
    if (!found || found->shape.size() != rank) {
        throw std::invalid_argument("The input \"" + name + "\" must have " + std::to_string(rank) +
                                    " dimensions.");
    }
    for (int64_t size : found->shape) {
        if (size < 1) {
            throw std::invalid_argument("The input \"" + name + "\" has an empty dimension.");
        }
    }
    return found->shape;
}

} // namespace

DenoisingInputs DenoisingInputs::read(const FeatureProvider& inputs, const UNetShape& shape,
                                      int64_t inChannels, int64_t contextDim,
                                      const std::string& network, bool takesSmallerBatches) {
    const ShapedArray& sample = inputs.featureValue(feature::sample);
    const ShapedArray& timestep = inputs.featureValue(feature::timestep);
    const ShapedArray& states = inputs.featureValue(feature::encoderHiddenStates);
    const int64_t given = sample.rank() == 4 ? sample.shape()[0] : 0;
    const int64_t batch =
        takesSmallerBatches && given >= 1 && given <= shape.batch ? given : shape.batch;
    const Shape sampleShape{batch, inChannels, shape.height, shape.width};
    const Shape timestepShape{batch};
    const Shape statesShape{batch, contextDim, 1, shape.contextLength};
    for (const auto& [name, array, expected] :
         {std::tuple{feature::sample, &sample, &sampleShape},
          std::tuple{feature::timestep, &timestep, &timestepShape},
          std::tuple{feature::encoderHiddenStates, &states, &statesShape}}) {
        if (array->shape() != *expected) {
            throw std::invalid_argument(network + " takes \"" + name + "\" of shape " +
                                        describe(*expected) + ", not " + describe(array->shape()) +
                                        ".");
        }
    }
    // [batch, channels, 1, positions] → one positions × channels matrix per
    // image.
    const int64_t positions = shape.contextLength;
    std::vector<Matrix> contexts;
    for (int64_t n = 0; n < batch; ++n) {
        Matrix context(positions, contextDim);
        const float* source = states.data() + n * contextDim * positions;
        for (int64_t c = 0; c < contextDim; ++c) {
            for (int64_t p = 0; p < positions; ++p) {
                context.row(p)[c] = source[c * positions + p];
            }
        }
        contexts.push_back(std::move(context));
    }
    std::vector<float> timestepValues(static_cast<size_t>(shape.batch), timestep.data()[batch - 1]);
    std::copy_n(timestep.data(), batch, timestepValues.begin());
    DenoisingInputs read{FeatureMap::fromPlanar(sample), nullptr, std::move(timestepValues),
                         std::move(contexts)};
    read.timesteps = read.timestepValues.data();
    return read;
}

UNetShape denoisingShape(const ModelDescription& description, int64_t inChannels,
                         int64_t contextDim, const std::string& network) {
    const Shape sample = describedShape(description, feature::sample, 4);
    const Shape timestep = describedShape(description, feature::timestep, 1);
    const Shape states = describedShape(description, feature::encoderHiddenStates, 4);
    const int64_t batch = sample[0];
    if (sample[1] != inChannels || timestep[0] != batch || states[0] != batch ||
        states[1] != contextDim || states[2] != 1) {
        throw std::invalid_argument(
            network + "'s inputs must be shaped \"" + feature::sample + "\" [batch, " +
            std::to_string(inChannels) + ", height, width], \"" + feature::timestep +
            "\" [batch] and \"" + feature::encoderHiddenStates + "\" [batch, " +
            std::to_string(contextDim) + ", 1, positions].");
    }
    requireAtMost(network, "batch", batch, kMaximumBatch);
    requireAtMost(network, "latent height", sample[2], kMaximumSide);
    requireAtMost(network, "latent width", sample[3], kMaximumSide);
    requireAtMost(network, "text length", states[3], kMaximumTextPositions);
    return {batch, sample[2], sample[3], states[3]};
}

void requireInputShape(const ModelDescription& description, const std::string& name,
                       const Shape& expected, const std::string& network) {
    const std::optional<FeatureDescription> found = description.input(name);
    if (!found || found->shape != expected) {
        throw std::invalid_argument(network + " with this \"" + std::string(feature::sample) +
                                    "\" needs the input \"" + name + "\" shaped " +
                                    describe(expected) + ".");
    }
}

} // namespace dravelin
