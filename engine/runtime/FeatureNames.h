#pragma once

#include <string>

namespace dravelin::feature {

// The names under which the pipelines hand features to the networks and the
// networks give them back: both sides use these, so a rename cannot leave
// one side behind.

// Denoising network and ControlNet inputs.
inline constexpr const char* sample = "sample";
inline constexpr const char* timestep = "timestep";
inline constexpr const char* encoderHiddenStates = "encoder_hidden_states";
// XL denoising network inputs.
inline constexpr const char* textEmbeds = "text_embeds";
inline constexpr const char* timeIds = "time_ids";
// The ControlNet's conditioning image.
inline constexpr const char* controlNetCondition = "controlnet_cond";
// The denoising network's output.
inline constexpr const char* noisePrediction = "noise_pred";

// The residuals a ControlNet gives and a controlled denoising network takes:
// one per output the down path keeps for the up path (the skips, in the
// order the down path produces them, from 0), and one for the mid block.
inline std::string downBlockResidual(size_t index) {
    return "down_block_residual_" + std::to_string(index);
}
inline constexpr const char* midBlockResidual = "mid_block_residual";

} // namespace dravelin::feature
