#pragma once

#include "runtime/Network.h"

#include <memory>

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
inline constexpr const char* kUNetKind = "UNet2DConditionModel";
inline constexpr const char* kControlledUNetKind = "UNet2DConditionModel.controlled";
std::shared_ptr<NetworkKind> unetKind(bool controlled);

// The inputs every denoising-shaped network takes, at the configuration's
// sizes, and "noise_pred".
ModelDescription denoisingDescription(const UNetConfig& config);

} // namespace dravelin
