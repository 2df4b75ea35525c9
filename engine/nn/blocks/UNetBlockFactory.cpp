#include "nn/blocks/UNetBlockFactory.h"

#include <algorithm>
#include <stdexcept>

namespace dravelin {

namespace {

const std::string kDownBlock = "DownBlock2D";
const std::string kCrossAttnDownBlock = "CrossAttnDownBlock2D";
const std::string kMidBlockCrossAttn = "UNetMidBlock2DCrossAttn";
const std::string kUpBlock = "UpBlock2D";
const std::string kCrossAttnUpBlock = "CrossAttnUpBlock2D";

void requireType(const std::string& type, const std::vector<std::string>& known) {
    if (std::find(known.begin(), known.end(), type) == known.end()) {
        throw std::invalid_argument("This runtime cannot build a block of type \"" + type + "\".");
    }
}

void checkLists(const UNetBlockConfig& config) {
    const size_t blocks = config.blockOutChannels.size();
    if (blocks == 0 || config.downBlockTypes.size() != blocks || config.heads.size() != blocks ||
        config.transformerLayers.size() != blocks ||
        (!config.upBlockTypes.empty() && config.upBlockTypes.size() != blocks)) {
        throw std::invalid_argument("The block lists of a UNet-shaped network must have one "
                                    "entry per block of \"block_out_channels\".");
    }
}

ResnetBlockSettings resnet(const UNetBlockConfig& config, int64_t in, int64_t out) {
    return {in, out, config.groups, config.epsilon, config.activation, config.timeChannels};
}

Transformer2DSettings transformer(const UNetBlockConfig& config, const UNetBlockGeometry& geometry,
                                  size_t block, int64_t channels, int64_t scale) {
    return {channels,
            config.heads[block],
            config.transformerLayers[block],
            config.groups,
            geometry.height / scale,
            geometry.width / scale,
            config.crossAttentionDim,
            geometry.contextLength,
            config.linearProjection};
}

int64_t blockCount(const UNetBlockConfig& config) {
    return static_cast<int64_t>(config.blockOutChannels.size());
}

// Declaring needs no sizes; any will do.
constexpr UNetBlockGeometry kAnyGeometry{64, 64, 77};

} // namespace

const std::vector<std::string>& UNetBlockFactory::downBlockTypes() {
    static const std::vector<std::string> types{kDownBlock, kCrossAttnDownBlock};
    return types;
}

const std::vector<std::string>& UNetBlockFactory::midBlockTypes() {
    static const std::vector<std::string> types{kMidBlockCrossAttn};
    return types;
}

const std::vector<std::string>& UNetBlockFactory::upBlockTypes() {
    static const std::vector<std::string> types{kUpBlock, kCrossAttnUpBlock};
    return types;
}

bool UNetBlockFactory::hasTransformers(const std::string& blockType) {
    return blockType == kCrossAttnDownBlock || blockType == kCrossAttnUpBlock ||
           blockType == kMidBlockCrossAttn;
}

std::vector<UNetBlockSettings> UNetBlockFactory::downBlocks(const UNetBlockConfig& config,
                                                            const UNetBlockGeometry& geometry) {
    checkLists(config);
    const int64_t blocks = blockCount(config);
    std::vector<UNetBlockSettings> result;
    int64_t scale = 1;
    int64_t output = config.blockOutChannels.front();
    for (int64_t i = 0; i < blocks; ++i) {
        const size_t at = static_cast<size_t>(i);
        const std::string& type = config.downBlockTypes[at];
        requireType(type, downBlockTypes());
        UNetBlockSettings block;
        const int64_t input = output;
        output = config.blockOutChannels[at];
        for (int64_t j = 0; j < config.layersPerBlock; ++j) {
            block.resnets.push_back(resnet(config, j == 0 ? input : output, output));
            if (hasTransformers(type)) {
                block.transformers.push_back(transformer(config, geometry, at, output, scale));
            }
        }
        if (i + 1 < blocks) {
            block.resample = true;
            scale *= 2;
        }
        result.push_back(std::move(block));
    }
    return result;
}

MidBlockCrossAttnSettings UNetBlockFactory::midBlock(const UNetBlockConfig& config,
                                                     const UNetBlockGeometry& geometry) {
    checkLists(config);
    requireType(config.midBlockType, midBlockTypes());
    const int64_t top = config.blockOutChannels.back();
    const int64_t scale = int64_t{1} << (blockCount(config) - 1);
    return {resnet(config, top, top),
            transformer(config, geometry, config.blockOutChannels.size() - 1, top, scale)};
}

std::vector<UNetBlockSettings> UNetBlockFactory::upBlocks(const UNetBlockConfig& config,
                                                          const UNetBlockGeometry& geometry) {
    checkLists(config);
    const int64_t blocks = blockCount(config);
    const std::vector<int64_t>& widths = config.blockOutChannels;
    std::vector<UNetBlockSettings> result;
    int64_t scale = int64_t{1} << (blocks - 1);
    int64_t output = widths.back();
    for (int64_t i = 0; i < static_cast<int64_t>(config.upBlockTypes.size()); ++i) {
        const std::string& type = config.upBlockTypes[static_cast<size_t>(i)];
        requireType(type, upBlockTypes());
        // The up path mirrors the down path: its per-block lists reversed.
        const size_t mirrored = static_cast<size_t>(blocks - 1 - i);
        const size_t below = static_cast<size_t>(std::max<int64_t>(blocks - 2 - i, 0));
        UNetBlockSettings block;
        const int64_t previous = output;
        output = widths[mirrored];
        const int64_t input = widths[below];
        for (int64_t j = 0; j <= config.layersPerBlock; ++j) {
            const int64_t skip = j == config.layersPerBlock ? input : output;
            block.resnets.push_back(resnet(config, (j == 0 ? previous : output) + skip, output));
            if (hasTransformers(type)) {
                block.transformers.push_back(
                    transformer(config, geometry, mirrored, output, scale));
            }
        }
        if (i + 1 < blocks) {
            block.resample = true;
            scale /= 2;
        }
        result.push_back(std::move(block));
    }
    return result;
}

std::vector<UNetBlockFactory::Skip> UNetBlockFactory::skips(const UNetBlockConfig& config) {
    checkLists(config);
    const int64_t blocks = blockCount(config);
    std::vector<Skip> result{{config.blockOutChannels.front(), 1}};
    int64_t scale = 1;
    for (int64_t i = 0; i < blocks; ++i) {
        const int64_t channels = config.blockOutChannels[static_cast<size_t>(i)];
        for (int64_t j = 0; j < config.layersPerBlock; ++j) {
            result.push_back({channels, scale});
        }
        if (i + 1 < blocks) {
            scale *= 2;
            result.push_back({channels, scale});
        }
    }
    return result;
}

size_t UNetBlockFactory::skipCount(const UNetBlockConfig& config) {
    return skips(config).size();
}

void UNetBlockFactory::declareDownBlocks(WeightList& list, const UNetBlockConfig& config) {
    const std::vector<UNetBlockSettings> blocks = downBlocks(config, kAnyGeometry);
    for (size_t i = 0; i < blocks.size(); ++i) {
        DownBlock2D::declare(list, "down_blocks." + std::to_string(i), blocks[i]);
    }
}

void UNetBlockFactory::declareMidBlock(WeightList& list, const UNetBlockConfig& config) {
    MidBlock2DCrossAttn::declare(list, "mid_block", midBlock(config, kAnyGeometry));
}

void UNetBlockFactory::declareUpBlocks(WeightList& list, const UNetBlockConfig& config) {
    const std::vector<UNetBlockSettings> blocks = upBlocks(config, kAnyGeometry);
    for (size_t i = 0; i < blocks.size(); ++i) {
        UpBlock2D::declare(list, "up_blocks." + std::to_string(i), blocks[i]);
    }
}

std::vector<DownBlock2D> UNetBlockFactory::buildDownBlocks(const WeightReader& weights,
                                                           const UNetBlockConfig& config,
                                                           const UNetBlockGeometry& geometry) {
    std::vector<DownBlock2D> result;
    const std::vector<UNetBlockSettings> blocks = downBlocks(config, geometry);
    for (size_t i = 0; i < blocks.size(); ++i) {
        result.emplace_back(weights, "down_blocks." + std::to_string(i), blocks[i]);
    }
    return result;
}

MidBlock2DCrossAttn UNetBlockFactory::buildMidBlock(const WeightReader& weights,
                                                    const UNetBlockConfig& config,
                                                    const UNetBlockGeometry& geometry) {
    return MidBlock2DCrossAttn(weights, "mid_block", midBlock(config, geometry));
}

std::vector<UpBlock2D> UNetBlockFactory::buildUpBlocks(const WeightReader& weights,
                                                       const UNetBlockConfig& config,
                                                       const UNetBlockGeometry& geometry) {
    std::vector<UpBlock2D> result;
    const std::vector<UNetBlockSettings> blocks = upBlocks(config, geometry);
    for (size_t i = 0; i < blocks.size(); ++i) {
        result.emplace_back(weights, "up_blocks." + std::to_string(i), blocks[i]);
    }
    return result;
}

} // namespace dravelin
