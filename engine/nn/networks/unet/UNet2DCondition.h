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
class UNet2DCondition : public Network {
public:
    // `timeIds`: the "time_ids" per image of an XL network.
    UNet2DCondition(const UNetConfig& config, const WeightReader& weights, const UNetShape& shape,
                    int64_t timeIds = 0);
    static WeightList weights(const UNetConfig& config);

    FeatureValueDictionary predict(const FeatureProvider& inputs) override;
    // noise prediction for `sample`; `timesteps` has one value per image,
    // `contexts` one contextLength × cross_attention_dim matrix per image;
    // `addition`, for XL networks, batch × time embedding width.
    FeatureMap denoise(FeatureMap sample, const float* timesteps,
                       const std::vector<Matrix>& contexts,
                       const std::vector<float>* addition = nullptr) const;

private:
    UNetConfig config_;
    UNetShape shape_;
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
