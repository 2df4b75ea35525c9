#pragma once

#include "nn/blocks/TimestepEmbedding.h"
#include "nn/blocks/UNetBlock2D.h"
#include "nn/compute/FeatureMap.h"
#include "nn/compute/Matrix.h"
#include "nn/layers/Convolution.h"
#include "nn/layers/GroupNorm.h"
#include "nn/networks/unet/DenoisingInputs.h"
#include "nn/networks/unet/TextTimeEmbedding.h"
#include "nn/networks/unet/UNetConfig.h"
#include "runtime/Network.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace dravelin {

// diffusers' UNet2DConditionModel of the SD 1.x/2.x and XL families: "sample"
// [batch, in, h, w], "timestep" [batch], "encoder_hidden_states"
// [batch, cross_attention_dim, 1, positions] (the pipeline's layout), and for
// XL "text_embeds" [batch, width] and "time_ids" [batch, count] (or their
// rows one after the other) → "noise_pred" [batch, out, h, w]. The timestep's sinusoidal embedding and
// MLP feed every ResNet block; down blocks keep their outputs as skips that
// the up blocks concatenate back in; transformers attend to the text states.
//
// A controlled network also takes a ControlNet's residuals: one per skip
// (feature::downBlockResidual(i), added to the skip before the up path takes
// it) and one for the mid block (feature::midBlockResidual, added to its
// output), as diffusers' down_block_additional_residuals and
// mid_block_additional_residual.
class UNet2DCondition : public Network {
public:
    // `controlled`: takes a ControlNet's residuals; `timeIds`: the "time_ids"
    // per image of an XL network (0 for others).
    UNet2DCondition(const UNetConfig& config, const WeightReader& weights, const UNetShape& shape,
                    bool controlled = false, int64_t timeIds = 0);
    static WeightList weights(const UNetConfig& config);
    // The residual inputs of a controlled network for samples of `shape`, in
    // the down path's order, the mid block's last.
    static std::vector<FeatureDescription> residualInputs(const UNetConfig& config,
                                                          const UNetShape& shape);

    FeatureValueDictionary predict(const FeatureProvider& inputs) override;
    // noise prediction for `sample`; `timesteps` has one value per image,
    // `contexts` one contextLength × cross_attention_dim matrix per image.
    // `residuals`: none, or one planar array per residual input, in the order
    // of residualInputs(); `addition`, for XL networks, batch × time embedding
    // width.
    FeatureMap denoise(FeatureMap sample, const float* timesteps,
                       const std::vector<Matrix>& contexts,
                       const std::vector<const ShapedArray*>& residuals = {},
                       const std::vector<float>* addition = nullptr) const;

private:
    UNetConfig config_;
    UNetShape shape_;
    bool controlled_;
    TimestepEmbedding time_;
    int64_t timeIds_;
    std::optional<TextTimeEmbedding> addition_;
    Convolution convIn_;
    std::vector<DownBlock2D> down_;
    MidBlock2DCrossAttn mid_;
    std::vector<UpBlock2D> up_;
    GroupNorm normOut_;
    Convolution convOut_;
};

} // namespace dravelin
