#include "nn/networks/controlnet/ControlNetKind.h"

#include "nn/networks/controlnet/ControlNetConfig.h"
#include "nn/networks/controlnet/ControlNetModel.h"
#include "nn/networks/unet/UNetKind.h"
#include "runtime/FeatureNames.h"

namespace dravelin {

namespace {

constexpr const char* kNetwork = "The ControlNet";

Shape conditionShape(const ControlNetConfig& config, const UNetShape& shape) {
    const int64_t scale = config.conditioningScale();
    return {shape.batch, config.conditioningChannels, shape.height * scale, shape.width * scale};
}

} // namespace

ModelDescription ControlNetKind::describe(const nlohmann::json& config) const {
    const ControlNetConfig controlNet = ControlNetConfig::read(config);
    ModelDescription description = UNetKind::denoisingDescription(controlNet.unet);
    const UNetShape shape = denoisingShape(description, controlNet.unet.inChannels,
                                           controlNet.unet.crossAttentionDim, kNetwork);
    description.inputs.push_back({feature::controlNetCondition, conditionShape(controlNet, shape)});
    description.outputs = ControlNetModel::outputNames(controlNet);
    return description;
}

std::vector<WeightSpec> ControlNetKind::expectedWeights(const nlohmann::json& config) const {
    return ControlNetModel::weights(ControlNetConfig::read(config));
}

std::unique_ptr<Network> ControlNetKind::build(const nlohmann::json& config,
                                               const ModelDescription& description,
                                               const WeightFiles& weights) const {
    const ControlNetConfig controlNet = ControlNetConfig::read(config);
    const UNetShape shape = denoisingShape(description, controlNet.unet.inChannels,
                                           controlNet.unet.crossAttentionDim, kNetwork);
    requireInputShape(description, feature::controlNetCondition, conditionShape(controlNet, shape),
                      kNetwork);
    return std::make_unique<ControlNetModel>(controlNet, WeightReader(weights), shape);
}

} // namespace dravelin
