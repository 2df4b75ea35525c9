#pragma once

#include "runtime/Network.h"

namespace dravelin {

struct UNetConfig;

// "UNet2DConditionModel": the denoising network of the SD 1.x/2.x and XL
// families. Inputs "sample" [2, in channels, sample_size, sample_size],
// "timestep" [2] and "encoder_hidden_states" [2, cross_attention_dim, 1, 77]
// (the guidance batch; a bundle may give other sizes), for XL also
// "text_embeds" [2, width] and "time_ids" [2, 6] (5 for a refiner: see
// UNetConfig::defaultTimeIds); output "noise_pred".
//
// The controlled kind, "UNet2DConditionModel.controlled", is the same
// network with the same weights that also takes a ControlNet's residuals
// (UNet2DCondition::residualInputs). The runtime picks it for a bundle whose
// directory name starts with "ControlledUnet" (ControlledUnet.model and its
// chunks), or where bundle.json names it as the kind.
class UNetKind : public NetworkKind {
public:
    static constexpr const char* kPlainName = "UNet2DConditionModel";
    static constexpr const char* kControlledName = "UNet2DConditionModel.controlled";

    explicit UNetKind(bool controlled = false) : controlled_(controlled) {}

    std::string name() const override { return controlled_ ? kControlledName : kPlainName; }
    ModelDescription describe(const nlohmann::json& config) const override;
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override;
    std::unique_ptr<Network> build(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights) const override;

    // The inputs every denoising-shaped network takes, at the configuration's
    // sizes, and "noise_pred".
    static ModelDescription denoisingDescription(const UNetConfig& config);

private:
    bool controlled_;
};

} // namespace dravelin
