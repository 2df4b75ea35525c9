#include "nn/networks/clip/ClipTextKinds.h"

#include "nn/networks/clip/ClipTextConfig.h"
#include "nn/networks/clip/ClipTextModel.h"

#include <stdexcept>

namespace dravelin {

ModelDescription ClipTextKind::describe(const nlohmann::json& config) const {
    const ClipTextConfig clip = ClipTextConfig::read(config);
    ModelDescription description{{{"input_ids", {1, clip.maxPositions}}},
                                 {"last_hidden_state", "hidden_embeds", "pooled_outputs"}};
    description.optionalInputs = {{"token_embeds", {1, clip.maxPositions, clip.hiddenSize}},
                                  {"clip_skip", {1}}};
    return description;
}

std::vector<WeightSpec> ClipTextKind::expectedWeights(const nlohmann::json& config) const {
    return ClipTextModel::weights(ClipTextConfig::read(config), projected_);
}

std::unique_ptr<Network> ClipTextKind::build(const nlohmann::json& config,
                                             const ModelDescription& description,
                                             const WeightFiles& weights) const {
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
                                           projected_);
}

} // namespace dravelin
