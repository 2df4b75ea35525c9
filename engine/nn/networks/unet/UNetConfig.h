#pragma once

#include "nn/blocks/UNetBlockFactory.h"
#include "nn/layers/Activation.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace dravelin {

// The configuration of diffusers' UNet2DConditionModel for the SD 1.x/2.x
// and XL families, every missing key at the library's default (as diffusers 0.25
// builds it). Per-block lists are expanded to one entry per block.
struct UNetConfig {
    // The largest latent side this runtime builds the network for (2048 image
    // pixels in SD); larger sizes are refused, not attempted.
    static constexpr int64_t kMaximumSampleSize = 256;

    int64_t inChannels = 4;
    int64_t outChannels = 4;
    bool centerInputSample = false;
    bool flipSinToCos = true;
    double freqShift = 0;
    std::vector<int64_t> blockOutChannels{320, 640, 1280, 1280};
    // diffusers' block class names, one per block.
    std::vector<std::string> downBlockTypes{"CrossAttnDownBlock2D", "CrossAttnDownBlock2D",
                                            "CrossAttnDownBlock2D", "DownBlock2D"};
    std::string midBlockType = "UNetMidBlock2DCrossAttn";
    std::vector<std::string> upBlockTypes{"UpBlock2D", "CrossAttnUpBlock2D", "CrossAttnUpBlock2D",
                                          "CrossAttnUpBlock2D"};
    // Whether each block has transformers, from its type.
    std::vector<bool> downCrossAttention{true, true, true, false};
    std::vector<bool> upCrossAttention{false, true, true, true};
    int64_t layersPerBlock = 2;
    int64_t downsamplePadding = 1;
    Activation activation = Activation::silu;
    int64_t groups = 32;
    float epsilon = 1e-5f;
    int64_t crossAttentionDim = 1280;
    // Per block: heads, and transformer layers.
    std::vector<int64_t> heads{8, 8, 8, 8};
    std::vector<int64_t> transformerLayers{1, 1, 1, 1};
    bool linearProjection = false;
    // diffusers has no default; SD 1.x's 64.
    int64_t sampleSize = 64;
    // The XL networks' "text_time" addition embedding: the sinusoid width of
    // each time id (addition_time_embed_dim) and the width of the pooled text
    // embedding and time id sinusoids together
    // (projection_class_embeddings_input_dim); 0 without one.
    int64_t additionTimeEmbedDim = 0;
    int64_t additionInputWidth = 0;

    // Throws ConfigurationError naming the key of a wrong or unsupported
    // value.
    static UNetConfig read(const nlohmann::json& config);
    // The keys a ControlNet's configuration shares with the denoising
    // network's: all but the up path's and the output's, which keep their
    // defaults.
    static UNetConfig readDownPath(const nlohmann::json& config);

    // What the block factory needs; without the up path for a network that
    // has none.
    UNetBlockConfig blockConfig(bool withUpPath = true) const;

    int64_t blocks() const { return static_cast<int64_t>(blockOutChannels.size()); }
    int64_t timeEmbeddingDim() const { return 4 * blockOutChannels.front(); }
    bool hasTextTimeEmbedding() const { return additionInputWidth > 0; }
    // How many "time_ids" an XL network takes when its bundle does not say:
    // 5 (original size, crop corner, aesthetic score) for a refiner, whose
    // pooled text embedding is as wide as its text states, else 6 (original
    // size, crop corner, target size).
    int64_t defaultTimeIds() const;
};

} // namespace dravelin
