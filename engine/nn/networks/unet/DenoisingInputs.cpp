#include "nn/networks/unet/DenoisingInputs.h"

#include "runtime/FeatureNames.h"

#include <stdexcept>
#include <tuple>

namespace dravelin {

namespace {

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
                                      const std::string& network) {
    const ShapedArray& sample = inputs.featureValue(feature::sample);
    const ShapedArray& timestep = inputs.featureValue(feature::timestep);
    const ShapedArray& states = inputs.featureValue(feature::encoderHiddenStates);
    const Shape sampleShape{shape.batch, inChannels, shape.height, shape.width};
    const Shape timestepShape{shape.batch};
    const Shape statesShape{shape.batch, contextDim, 1, shape.contextLength};
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
    for (int64_t n = 0; n < shape.batch; ++n) {
        Matrix context(positions, contextDim);
        const float* source = states.data() + n * contextDim * positions;
        for (int64_t c = 0; c < contextDim; ++c) {
            for (int64_t p = 0; p < positions; ++p) {
                context.row(p)[c] = source[c * positions + p];
            }
        }
        contexts.push_back(std::move(context));
    }
    return {FeatureMap::fromPlanar(sample), timestep.data(), std::move(contexts)};
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
