#pragma once

#include "nn/blocks/UNetBlock2D.h"
#include "nn/layers/Activation.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravelin {

// What a configuration says about the blocks of a UNet-shaped network
// (diffusers' UNet2DConditionModel and ControlNetModel share these keys).
// Per-block lists have one entry per down block.
struct UNetBlockConfig {
    std::vector<int64_t> blockOutChannels;
    // diffusers' block class names: "down_block_types", "mid_block_type",
    // "up_block_types" (empty for a network without an up path).
    std::vector<std::string> downBlockTypes;
    std::string midBlockType;
    std::vector<std::string> upBlockTypes;
    int64_t layersPerBlock = 2;
    std::vector<int64_t> heads;
    std::vector<int64_t> transformerLayers;
    int64_t groups = 32;
    float epsilon = 1e-5f;
    Activation activation = Activation::silu;
    // Width of the time embedding every ResNet block takes.
    int64_t timeChannels = 0;
    int64_t crossAttentionDim = 768;
    bool linearProjection = false;
};

// The sizes the transformers are built for: the map entering the first down
// block, and the text positions they attend to.
struct UNetBlockGeometry {
    int64_t height;
    int64_t width;
    int64_t contextLength;
};

// Works out each block's layers from the block type names, as diffusers'
// get_down_block, get_mid_block and get_up_block do, so every network built
// from these blocks lays them out the same way. Blocks are named as the
// model hub's weights name them: "down_blocks.<i>", "mid_block",
// "up_blocks.<i>".
class UNetBlockFactory {
public:
    static const std::vector<std::string>& downBlockTypes();
    static const std::vector<std::string>& midBlockTypes();
    static const std::vector<std::string>& upBlockTypes();
    static bool hasTransformers(const std::string& blockType);

    // Throws std::invalid_argument for a block type not in the lists above or
    // per-block lists of the wrong length (the configuration readers refuse
    // these first, naming the key).
    static std::vector<UNetBlockSettings> downBlocks(const UNetBlockConfig& config,
                                                     const UNetBlockGeometry& geometry);
    static MidBlockCrossAttnSettings midBlock(const UNetBlockConfig& config,
                                              const UNetBlockGeometry& geometry);
    static std::vector<UNetBlockSettings> upBlocks(const UNetBlockConfig& config,
                                                   const UNetBlockGeometry& geometry);

    // The number of outputs the down path keeps for the up path: the map
    // entering the first block, then every block's skips.
    static size_t skipCount(const UNetBlockConfig& config);
    // The channels and the downscale factor of each of those outputs.
    struct Skip {
        int64_t channels;
        int64_t scale;
    };
    static std::vector<Skip> skips(const UNetBlockConfig& config);

    static void declareDownBlocks(WeightList& list, const UNetBlockConfig& config);
    static void declareMidBlock(WeightList& list, const UNetBlockConfig& config);
    static void declareUpBlocks(WeightList& list, const UNetBlockConfig& config);

    static std::vector<DownBlock2D> buildDownBlocks(const WeightReader& weights,
                                                    const UNetBlockConfig& config,
                                                    const UNetBlockGeometry& geometry);
    static MidBlock2DCrossAttn buildMidBlock(const WeightReader& weights,
                                             const UNetBlockConfig& config,
                                             const UNetBlockGeometry& geometry);
    static std::vector<UpBlock2D> buildUpBlocks(const WeightReader& weights,
                                                const UNetBlockConfig& config,
                                                const UNetBlockGeometry& geometry);
};

} // namespace dravelin
