#pragma once

#include "runtime/Network.h"

namespace dravelin {

// "AutoencoderKL.decoder": the decoder half of an AutoencoderKL bundle; input
// "z" [1, latent channels, sample/2^(blocks−1), same], output "image".
class VaeDecoderKind : public NetworkKind {
public:
    std::string name() const override { return "AutoencoderKL.decoder"; }
    ModelDescription describe(const nlohmann::json& config) const override;
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override;
    std::unique_ptr<Network> build(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights) const override;
};

// "AutoencoderKL.encoder": the encoder half; input "x" [1, in channels,
// sample, sample], output "moments".
class VaeEncoderKind : public NetworkKind {
public:
    std::string name() const override { return "AutoencoderKL.encoder"; }
    ModelDescription describe(const nlohmann::json& config) const override;
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override;
    std::unique_ptr<Network> build(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights) const override;
};

} // namespace dravelin
