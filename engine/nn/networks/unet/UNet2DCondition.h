#pragma once

#include "nn/layers/Convolution.h"
#include "nn/compute/FeatureMap.h"
#include "nn/layers/GroupNorm.h"
#include "nn/compute/Matrix.h"
#include "nn/blocks/ResnetBlock2D.h"
#include "nn/blocks/TimestepEmbedding.h"
#include "nn/blocks/Transformer2D.h"
#include "nn/networks/unet/TextTimeEmbedding.h"
#include "nn/networks/unet/UNetConfig.h"
#include "runtime/Network.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace dravelin {

// Sizes fixed when the network is built.
struct UNetShape {
    int64_t batch;
    int64_t height;
    int64_t width;
    // Text positions of "encoder_hidden_states".
    int64_t contextLength;
    // XL networks: "time_ids" per image (0 for the others).
    int64_t timeIds = 0;
};

// diffusers' UNet2DConditionModel of the SD 1.x/2.x and XL families: "sample"
// [batch, in, h, w], "timestep" [batch], "encoder_hidden_states"
// [batch, cross_attention_dim, 1, positions] (the pipeline's layout), and for
// XL "text_embeds" [batch, width] and "time_ids" [batch, count] →
// "noise_pred" [batch, out, h, w]. The timestep's sinusoidal embedding and
// MLP feed every ResNet block; down blocks keep their outputs as skips that
// the up blocks concatenate back in; transformers attend to the text states.
class UNet2DCondition : public Network {
public:
    UNet2DCondition(const UNetConfig& config, const WeightReader& weights, const UNetShape& shape);
    static WeightList weights(const UNetConfig& config);

    FeatureValueDictionary predict(const FeatureProvider& inputs) override;
    // noise prediction for `sample`; `timesteps` has one value per image,
    // `contexts` one contextLength × cross_attention_dim matrix per image;
    // `addition`, for XL networks, batch × time embedding width.
    FeatureMap denoise(FeatureMap sample, const float* timesteps,
                       const std::vector<Matrix>& contexts,
                       const std::vector<float>* addition = nullptr) const;

private:
    // A down or up block: ResNet blocks, each followed by a transformer in
    // the cross-attention kinds, then a resampling convolution unless it is
    // the last (down) or first-to-last (up) block.
    struct Block {
        std::vector<ResnetBlock2D> resnets;
        std::vector<Transformer2D> transformers;
        std::optional<Convolution> resample;
    };

    UNetConfig config_;
    UNetShape shape_;
    TimestepEmbedding time_;
    std::optional<TextTimeEmbedding> addition_;
    Convolution convIn_;
    std::vector<Block> down_;
    Block mid_;
    std::vector<Block> up_;
    GroupNorm normOut_;
    Convolution convOut_;
};

} // namespace dravelin
