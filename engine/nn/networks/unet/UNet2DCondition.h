#pragma once

#include "nn/blocks/TimestepEmbedding.h"
#include "nn/blocks/UNetBlock2D.h"
#include "nn/compute/FeatureMap.h"
#include "nn/compute/Matrix.h"
#include "nn/layers/Convolution.h"
#include "nn/layers/GroupNorm.h"
#include "nn/networks/unet/DenoisingInputs.h"
#include "nn/networks/unet/UNetConfig.h"
#include "runtime/Network.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace dravelin {

// diffusers' UNet2DConditionModel of the SD 1.x/2.x family: "sample"
// [batch, in, h, w], "timestep" [batch], "encoder_hidden_states"
// [batch, cross_attention_dim, 1, positions] (the pipeline's layout) →
// "noise_pred" [batch, out, h, w]. The timestep's sinusoidal embedding and
// MLP feed every ResNet block; down blocks keep their outputs as skips that
// the up blocks concatenate back in; transformers attend to the text states.
class UNet2DCondition : public Network {
public:
    UNet2DCondition(const UNetConfig& config, const WeightReader& weights, const UNetShape& shape);
    static WeightList weights(const UNetConfig& config);

    FeatureValueDictionary predict(const FeatureProvider& inputs) override;
    // noise prediction for `sample`; `timesteps` has one value per image,
    // `contexts` one contextLength × cross_attention_dim matrix per image.
    FeatureMap denoise(FeatureMap sample, const float* timesteps,
                       const std::vector<Matrix>& contexts) const;

private:
    UNetConfig config_;
    UNetShape shape_;
    TimestepEmbedding time_;
    Convolution convIn_;
    std::vector<DownBlock2D> down_;
    MidBlock2DCrossAttn mid_;
    std::vector<UpBlock2D> up_;
    GroupNorm normOut_;
    Convolution convOut_;
};

} // namespace dravelin
