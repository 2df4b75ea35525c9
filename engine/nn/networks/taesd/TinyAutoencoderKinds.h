#pragma once

#include "runtime/Network.h"

namespace dravelin {

// "AutoencoderTiny.decoder": the preview decoder (TAESD); input "z" [1,
// latent channels, 64, 64] unless bundle.json fixes another shape, output
// "image".
class TinyDecoderKind : public NetworkKind {
public:
    std::string name() const override { return "AutoencoderTiny.decoder"; }
    ModelDescription describe(const nlohmann::json& config) const override;
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override;
    std::unique_ptr<Network> build(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights) const override;
};

// "AutoencoderTiny.encoder": input "x" [1, in channels, 512, 512] unless
// bundle.json fixes another shape, output "latents".
class TinyEncoderKind : public NetworkKind {
public:
    std::string name() const override { return "AutoencoderTiny.encoder"; }
    ModelDescription describe(const nlohmann::json& config) const override;
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override;
    std::unique_ptr<Network> build(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights) const override;
};

} // namespace dravelin
