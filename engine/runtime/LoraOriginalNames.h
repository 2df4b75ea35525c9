#pragma once

#include "runtime/WeightFiles.h"

#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// kohya's LoRA files for SDXL name denoising-network layers by the original
// latent-diffusion module paths ("input_blocks_4_1_transformer_blocks_0_attn1_to_q",
// "middle_block_2_in_layers_2", "output_blocks_3_0_skip_connection",
// "time_embed_0", "label_emb_0_0", "out_2"). This gives the same layer's
// path in the network's own names with "_" for "." as kohya's SD 1.x files
// write them ("down_blocks_1_attentions_0_transformer_blocks_0_attn1_to_q"),
// working out the block layout (layers per block, which up blocks have
// attention) from the network's weights. Absent for a path of another form.
std::optional<std::string> loraLayerFromOriginalName(const std::string& layer,
                                                     const std::vector<WeightSpec>& weights);

} // namespace dravelin
