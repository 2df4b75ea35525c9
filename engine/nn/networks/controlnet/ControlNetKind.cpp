#include "nn/networks/controlnet/ControlNetKind.h"

#include "nn/networks/ConfiguredKind.h"
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

ModelDescription describeControlNet(const nlohmann::json& config) {
    const ControlNetConfig controlNet = ControlNetConfig::read(config);
    ModelDescription description = denoisingDescription(controlNet.unet);
    const UNetShape shape = denoisingShape(description, controlNet.unet.inChannels,
                                           controlNet.unet.crossAttentionDim, kNetwork);
    description.inputs.push_back({feature::controlNetCondition, conditionShape(controlNet, shape)});
    description.outputs = ControlNetModel::outputNames(controlNet);
    return description;
}

std::vector<WeightSpec> weightsOfControlNet(const nlohmann::json& config) {
    return ControlNetModel::weights(ControlNetConfig::read(config));
}

std::unique_ptr<Network> buildControlNet(const nlohmann::json& config,
                                         const ModelDescription& description,
                                         const WeightFiles& weights) {
    const ControlNetConfig controlNet = ControlNetConfig::read(config);
    const UNetShape shape = denoisingShape(description, controlNet.unet.inChannels,
                                           controlNet.unet.crossAttentionDim, kNetwork);
    requireInputShape(description, feature::controlNetCondition, conditionShape(controlNet, shape),
                      kNetwork);
    return std::make_unique<ControlNetModel>(controlNet, WeightReader(weights), shape);
}

} // namespace

std::shared_ptr<NetworkKind> controlNetKind() {
    return std::make_shared<ConfiguredKind>("ControlNetModel", describeControlNet,
                                            weightsOfControlNet, buildControlNet);
}

} // namespace dravelin
