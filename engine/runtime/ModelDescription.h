#pragma once

#include "core/Shape.h"

#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// A named input with the fixed shape the model accepts.
struct FeatureDescription {
    std::string name;
    Shape shape;

    bool operator==(const FeatureDescription&) const = default;
};

// What a loaded model takes and gives: inputs in the network's own order
// (a single-input model's input is the first), and the names of its outputs.
struct ModelDescription {
    std::vector<FeatureDescription> inputs;
    std::vector<std::string> outputs;
    // The network also takes a smaller batch: every input's first dimension
    // the same size from 1 to the one described.
    bool takesSmallerBatches = false;
    // Inputs a prediction may leave out; given, they must have their shape.
    std::vector<FeatureDescription> optionalInputs = {};

    // Absent when the model has no such input, required or optional.
    std::optional<FeatureDescription> input(const std::string& name) const;
    bool hasOutput(const std::string& name) const;
};

} // namespace dravelin
