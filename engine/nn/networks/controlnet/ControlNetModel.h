#pragma once

#include "nn/blocks/TimestepEmbedding.h"
#include "nn/blocks/UNetBlock2D.h"
#include "nn/compute/FeatureMap.h"
#include "nn/compute/Matrix.h"
#include "nn/layers/Convolution.h"
#include "nn/networks/controlnet/ControlNetConditioningEmbedding.h"
#include "nn/networks/controlnet/ControlNetConfig.h"
#include "nn/networks/unet/UNet2DCondition.h"
#include "runtime/Network.h"

#include <vector>

namespace dravelin {

// diffusers' ControlNetModel: the denoising network's down path and mid
// block, run on the sample plus the embedded control image, with every
// output the down path keeps for the up path, and the mid block's output,
// passed through its own zero-initialised 1×1 convolution. Inputs as the
// denoising network's plus "controlnet_cond" [batch, 3, 8·h, 8·w] in [0, 1];
// outputs the controlled network's residual inputs (see FeatureNames.h).
class ControlNetModel : public Network {
public:
    // `shape` is the sample's; the control image is conditioningScale() times
    // larger.
    ControlNetModel(const ControlNetConfig& config, const WeightReader& weights,
                    const UNetShape& shape);
    static WeightList weights(const ControlNetConfig& config);
    // The output names, in the down path's order, the mid block's last.
    static std::vector<std::string> outputNames(const ControlNetConfig& config);

    FeatureValueDictionary predict(const FeatureProvider& inputs) override;

    // The residuals for `sample` under `condition` (the image, already in the
    // configuration's channel order): one per down path output, then the
    // mid block's.
    std::vector<FeatureMap> residuals(const FeatureMap& sample, const FeatureMap& condition,
                                      const float* timesteps,
                                      const std::vector<Matrix>& contexts) const;

private:
    ControlNetConfig config_;
    UNetShape shape_;
    TimestepEmbedding time_;
    Convolution convIn_;
    ControlNetConditioningEmbedding conditioning_;
    std::vector<DownBlock2D> down_;
    MidBlock2DCrossAttn mid_;
    std::vector<Convolution> downOutputs_;
    Convolution midOutput_;
};

} // namespace dravelin
