#pragma once

#include "runtime/Network.h"

namespace dravelin {

// "ControlNetModel": the denoising network's inputs (the guidance batch of
// 2, sample_size latents, 77 text positions, as the denoising network's) and
// "controlnet_cond" [2, conditioning_channels, 8·sample_size, 8·sample_size];
// outputs the residuals the controlled denoising network takes, named as its
// inputs are.
class ControlNetKind : public NetworkKind {
public:
    std::string name() const override { return "ControlNetModel"; }
    ModelDescription describe(const nlohmann::json& config) const override;
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override;
    std::unique_ptr<Network> build(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights) const override;
};

} // namespace dravelin
