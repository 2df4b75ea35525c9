#include "nn/networks/controlnet/ControlNetConditioningEmbedding.h"

#include "nn/layers/ChannelTransform.h"

namespace dravelin {

namespace {

// Every stage but the last has a same-width convolution ("blocks.<2i>") and
// a stride-2 one into the next width ("blocks.<2i+1>").
struct StageConvolution {
    int64_t in;
    int64_t out;
    int stride;
};

std::vector<StageConvolution> stageConvolutions(const std::vector<int64_t>& channels) {
    std::vector<StageConvolution> result;
    for (size_t i = 0; i + 1 < channels.size(); ++i) {
        result.push_back({channels[i], channels[i], 1});
        result.push_back({channels[i], channels[i + 1], 2});
    }
    return result;
}

std::string blockName(const std::string& prefix, size_t index) {
    return prefix + ".blocks." + std::to_string(index);
}

void silu(FeatureMap& map) {
    ChannelTransform(map.batch(), map.channels(), Activation::silu).applyInPlace(map);
}

} // namespace

ControlNetConditioningEmbedding::ControlNetConditioningEmbedding(
    const WeightReader& weights, const std::string& prefix, int64_t inChannels,
    const std::vector<int64_t>& stageChannels, int64_t outChannels)
    : convIn_(weights, prefix + ".conv_in", inChannels, stageChannels.front(), 3),
      convOut_(weights, prefix + ".conv_out", stageChannels.back(), outChannels, 3) {
    const std::vector<StageConvolution> stages = stageConvolutions(stageChannels);
    for (size_t i = 0; i < stages.size(); ++i) {
        blocks_.emplace_back(weights, blockName(prefix, i), stages[i].in, stages[i].out, 3,
                             stages[i].stride);
    }
}

void ControlNetConditioningEmbedding::declare(WeightList& list, const std::string& prefix,
                                              int64_t inChannels,
                                              const std::vector<int64_t>& stageChannels,
                                              int64_t outChannels) {
    Convolution::declare(list, prefix + ".conv_in", inChannels, stageChannels.front(), 3);
    const std::vector<StageConvolution> stages = stageConvolutions(stageChannels);
    for (size_t i = 0; i < stages.size(); ++i) {
        Convolution::declare(list, blockName(prefix, i), stages[i].in, stages[i].out, 3);
    }
    Convolution::declare(list, prefix + ".conv_out", stageChannels.back(), outChannels, 3);
}

void ControlNetConditioningEmbedding::accumulate(const FeatureMap& image,
                                                 FeatureMap& target) const {
    FeatureMap hidden = convIn_.forward({image});
    silu(hidden);
    for (const Convolution& block : blocks_) {
        hidden = block.forward({hidden});
        silu(hidden);
    }
    convOut_.accumulate({hidden}, target);
}

} // namespace dravelin
