#pragma once

#include "nn/blocks/ResnetBlock2D.h"
#include "nn/blocks/Transformer2D.h"
#include "nn/compute/FeatureMap.h"
#include "nn/compute/Matrix.h"
#include "nn/compute/WeightReader.h"
#include "nn/layers/Convolution.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// What one down or up block of a UNet-shaped network holds.
struct UNetBlockSettings {
    std::vector<ResnetBlockSettings> resnets;
    // None (diffusers' DownBlock2D, UpBlock2D), or one per ResNet block
    // (their CrossAttn kinds).
    std::vector<Transformer2DSettings> transformers;
    // Whether the block ends in a resampling convolution (stride 2 down, or
    // 2× nearest-neighbour up), at the last ResNet block's width.
    bool resample = false;

    int64_t outChannels() const { return resnets.back().outChannels; }
};

// diffusers' DownBlock2D and CrossAttnDownBlock2D: ResNet blocks, each
// followed by its transformer in the cross-attention kind, then a stride-2
// 3×3 convolution ("downsamplers.0.conv") unless it is the last block.
class DownBlock2D {
public:
    DownBlock2D(const WeightReader& weights, const std::string& prefix,
                const UNetBlockSettings& settings);
    static void declare(WeightList& list, const std::string& prefix,
                        const UNetBlockSettings& settings);

    // Runs the block, appending every output the up path takes back (one per
    // ResNet block, and the downsampler's) to `skips`. `time`: batch ×
    // time channels, already activated; `contexts`: one matrix per image.
    FeatureMap forward(FeatureMap hidden, const float* time, const std::vector<Matrix>& contexts,
                       std::vector<FeatureMap>& skips) const;

    // How many outputs forward() appends to the skips.
    size_t skipCount() const { return resnets_.size() + (downsample_ ? 1 : 0); }

private:
    std::vector<ResnetBlock2D> resnets_;
    std::vector<Transformer2D> transformers_;
    std::optional<Convolution> downsample_;
};

// diffusers' UpBlock2D and CrossAttnUpBlock2D: ResNet blocks, each taking the
// running map with the latest skip concatenated to it, each followed by its
// transformer in the cross-attention kind, then a 2× nearest-neighbour
// upsampling read by a 3×3 convolution ("upsamplers.0.conv") unless it is
// the last block.
class UpBlock2D {
public:
    UpBlock2D(const WeightReader& weights, const std::string& prefix,
              const UNetBlockSettings& settings);
    static void declare(WeightList& list, const std::string& prefix,
                        const UNetBlockSettings& settings);

    // Takes one skip per ResNet block from the back of `skips`.
    FeatureMap forward(FeatureMap hidden, const float* time, const std::vector<Matrix>& contexts,
                       std::vector<FeatureMap>& skips) const;

private:
    std::vector<ResnetBlock2D> resnets_;
    std::vector<Transformer2D> transformers_;
    std::optional<Convolution> upsample_;
};

// diffusers' UNetMidBlock2DCrossAttn with one layer: a ResNet block, a
// transformer and another ResNet block, all at the same width.
struct MidBlockCrossAttnSettings {
    ResnetBlockSettings resnet;
    Transformer2DSettings transformer;
};

class MidBlock2DCrossAttn {
public:
    MidBlock2DCrossAttn(const WeightReader& weights, const std::string& prefix,
                        const MidBlockCrossAttnSettings& settings);
    static void declare(WeightList& list, const std::string& prefix,
                        const MidBlockCrossAttnSettings& settings);

    FeatureMap forward(FeatureMap hidden, const float* time,
                       const std::vector<Matrix>& contexts) const;

private:
    ResnetBlock2D first_;
    Transformer2D transformer_;
    ResnetBlock2D second_;
};

} // namespace dravelin
