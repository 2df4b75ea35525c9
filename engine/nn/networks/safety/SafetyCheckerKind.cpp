#include "nn/networks/safety/SafetyCheckerKind.h"

#include "nn/networks/ConfiguredKind.h"
#include "nn/networks/safety/SafetyCheckerConfig.h"
#include "nn/networks/safety/StableDiffusionSafetyChecker.h"

#include <stdexcept>

namespace dravelin {

namespace {

ModelDescription describeSafetyChecker(const nlohmann::json& config) {
    const SafetyCheckerConfig safety = SafetyCheckerConfig::read(config);
    return ModelDescription{
        {{"clip_input", {1, safety.channels, safety.imageSize, safety.imageSize}},
         {"images", {1, 512, 512, 3}},
         {"adjustment", {1}}},
        {"has_nsfw_concepts", "concept_scores", "special_scores"}};
}

std::vector<WeightSpec> weightsOfSafetyChecker(const nlohmann::json& config) {
    return StableDiffusionSafetyChecker::weights(SafetyCheckerConfig::read(config));
}

std::unique_ptr<Network> buildSafetyChecker(const nlohmann::json& config,
                                            const ModelDescription& description,
                                            const WeightFiles& weights) {
    const SafetyCheckerConfig safety = SafetyCheckerConfig::read(config);
    const std::optional<FeatureDescription> input = description.input("clip_input");
    // The position embeddings fix the patch grid: a size that gives another
    // grid cannot be embedded.
    if (!input || input->shape.size() != 4 || input->shape[0] < 1 ||
        input->shape[1] != safety.channels || input->shape[2] / safety.patchSize != safety.grid() ||
        input->shape[3] / safety.patchSize != safety.grid()) {
        throw std::invalid_argument("The input \"clip_input\" must be shaped [batch, " +
                                    std::to_string(safety.channels) + ", " +
                                    std::to_string(safety.imageSize) + ", " +
                                    std::to_string(safety.imageSize) + "].");
    }
    return std::make_unique<StableDiffusionSafetyChecker>(safety, WeightReader(weights),
                                                          input->shape[0]);
}

} // namespace

std::shared_ptr<NetworkKind> safetyCheckerKind() {
    return std::make_shared<ConfiguredKind>("StableDiffusionSafetyChecker",
                                            describeSafetyChecker, weightsOfSafetyChecker,
                                            buildSafetyChecker);
}

} // namespace dravelin
