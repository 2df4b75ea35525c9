#pragma once

#include "runtime/Network.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dravelin {

// A network kind given by its name and three functions of a bundle's
// config.json: its description (inputs and outputs), the weights it reads,
// and the network built for the description in force. Every built-in
// network is such a kind; each network's folder says what its functions do.
class ConfiguredKind : public NetworkKind {
public:
    using Describe = std::function<ModelDescription(const nlohmann::json& config)>;
    using Weights = std::function<std::vector<WeightSpec>(const nlohmann::json& config)>;
    using Build = std::function<std::unique_ptr<Network>(
        const nlohmann::json& config, const ModelDescription& description,
        const WeightFiles& weights)>;

    ConfiguredKind(std::string name, Describe describe, Weights weights, Build build)
        : name_(std::move(name)), describe_(std::move(describe)), weights_(std::move(weights)),
          build_(std::move(build)) {}

    std::string name() const override { return name_; }
    ModelDescription describe(const nlohmann::json& config) const override {
        return describe_(config);
    }
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override {
        return weights_(config);
    }
    std::unique_ptr<Network> build(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights) const override {
        return build_(config, description, weights);
    }

private:
    std::string name_;
    Describe describe_;
    Weights weights_;
    Build build_;
};

} // namespace dravelin
