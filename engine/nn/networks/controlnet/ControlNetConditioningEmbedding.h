#pragma once

#include "nn/compute/FeatureMap.h"
#include "nn/compute/WeightReader.h"
#include "nn/layers/Convolution.h"

#include <cstdint>
#include <string>
#include <vector>

namespace dravelin {

// diffusers' ControlNetConditioningEmbedding: the control image through
// conv_in, then per stage a 3×3 convolution at the stage's width and a
// stride-2 one into the next stage's, each followed by SiLU, and a final
// conv_out into the width of the network's first block. conv_out is
// initialised to zero in training, so an untrained ControlNet changes
// nothing.
class ControlNetConditioningEmbedding {
public:
    ControlNetConditioningEmbedding(const WeightReader& weights, const std::string& prefix,
                                    int64_t inChannels, const std::vector<int64_t>& stageChannels,
                                    int64_t outChannels);
    static void declare(WeightList& list, const std::string& prefix, int64_t inChannels,
                        const std::vector<int64_t>& stageChannels, int64_t outChannels);

    // Adds the embedding of `image` to `target`, which has the size of the
    // image after the stride-2 stages.
    void accumulate(const FeatureMap& image, FeatureMap& target) const;

private:
    Convolution convIn_;
    std::vector<Convolution> blocks_;
    Convolution convOut_;
};

} // namespace dravelin
