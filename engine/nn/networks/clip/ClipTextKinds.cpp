#include "nn/networks/clip/ClipTextKinds.h"

#include "nn/networks/ConfiguredKind.h"
#include "nn/networks/clip/ClipTextConfig.h"
#include "nn/networks/clip/ClipTextModel.h"

#include <stdexcept>

namespace dravelin {

namespace {

ModelDescription describeClipText(const nlohmann::json& config) {
    const ClipTextConfig clip = ClipTextConfig::read(config);
    ModelDescription description{{{"input_ids", {1, clip.maxPositions}}},
                                 {"last_hidden_state", "hidden_embeds", "pooled_outputs"}};
    description.optionalInputs = {{"token_embeds", {1, clip.maxPositions, clip.hiddenSize}},
                                  {"clip_skip", {1}}};
    return description;
}

std::vector<WeightSpec> weightsOfClipText(const nlohmann::json& config, bool projected) {
    return ClipTextModel::weights(ClipTextConfig::read(config), projected);
}

std::unique_ptr<Network> buildClipText(const nlohmann::json& config,
                                       const ModelDescription& description,
                                       const WeightFiles& weights, bool projected) {
    const ClipTextConfig clip = ClipTextConfig::read(config);
    const std::optional<FeatureDescription> input = description.input("input_ids");
    if (!input || input->shape.size() != 2 || input->shape[0] < 1) {
        throw std::invalid_argument("The input \"input_ids\" must be shaped [batch, length].");
    }
    // Checked before anything is sized by the length.
    if (input->shape[1] < 1 || input->shape[1] > clip.maxPositions) {
        throw std::invalid_argument("The input \"input_ids\" must hold 1 to " +
                                    std::to_string(clip.maxPositions) + " tokens, not " +
                                    std::to_string(input->shape[1]) + ".");
    }
    return std::make_unique<ClipTextModel>(clip, WeightReader(weights), input->shape[1],
                                           projected);
}

} // namespace

std::shared_ptr<NetworkKind> clipTextKind(bool projected) {
    return std::make_shared<ConfiguredKind>(
        projected ? "CLIPTextModelWithProjection" : "CLIPTextModel", describeClipText,
        [projected](const nlohmann::json& config) { return weightsOfClipText(config, projected); },
        [projected](const nlohmann::json& config, const ModelDescription& description,
                    const WeightFiles& weights) {
            return buildClipText(config, description, weights, projected);
        });
}

} // namespace dravelin
