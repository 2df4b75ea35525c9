#pragma once

#include "runtime/Network.h"

namespace dravelin {

// "UNet2DConditionModel": the denoising network of the SD 1.x/2.x and XL
// families. Inputs "sample" [2, in channels, sample_size, sample_size],
// "timestep" [2] and "encoder_hidden_states" [2, cross_attention_dim, 1, 77]
// (the guidance batch; a bundle may give other sizes), for XL also
// "text_embeds" [2, width] and "time_ids" [2, 6] (5 for a refiner: see
// UNetConfig::defaultTimeIds); output "noise_pred".
class UNetKind : public NetworkKind {
public:
    std::string name() const override { return "UNet2DConditionModel"; }
    ModelDescription describe(const nlohmann::json& config) const override;
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override;
    std::unique_ptr<Network> build(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights) const override;
};

} // namespace dravelin
