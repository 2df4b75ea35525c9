#pragma once

#include "runtime/FeatureProvider.h"
#include "runtime/ModelDescription.h"
#include "runtime/WeightFiles.h"

#include <nlohmann/json.hpp>

#include <memory>
#include <string>
#include <vector>

namespace dravelin {

// A network built from a bundle's weights, ready to evaluate. Not safe for
// concurrent use: a holder serialises access to it.
class Network {
public:
    virtual ~Network() = default;

    // Inputs have been checked against the model's description; the result
    // holds every output the description names.
    virtual FeatureValueDictionary predict(const FeatureProvider& inputs) = 0;

    // One prediction per entry, in order. Networks that gain from batching
    // override this.
    virtual std::vector<FeatureValueDictionary> predictBatch(const BatchProvider& batch);
};

// A kind of network the runtime can build from a bundle: it reads the
// network's configuration (the model hub's config.json, every missing key at
// its library default), says what the network takes and gives, which weights
// it reads, and builds it.
class NetworkKind {
public:
    virtual ~NetworkKind() = default;

    virtual std::string name() const = 0;
    // Inputs with their fixed shapes, and output names.
    virtual ModelDescription describe(const nlohmann::json& config) const = 0;
    // Every weight the network reads, by its name in the weight files.
    virtual std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const = 0;
    // Weights have been checked against expectedWeights(); `description` has
    // the input shapes in force (a bundle may override them).
    virtual std::unique_ptr<Network> build(const nlohmann::json& config,
                                           const ModelDescription& description,
                                           const WeightFiles& weights) const = 0;
};

} // namespace dravelin
