#pragma once

#include "runtime/Network.h"

namespace dravelin {

// "StableDiffusionSafetyChecker": inputs "clip_input" [1, channels,
// image_size, image_size], "images" [1, 512, 512, 3] and "adjustment" [1];
// outputs "has_nsfw_concepts", "concept_scores" and "special_scores".
// A bundle may give "clip_input" a larger batch.
class SafetyCheckerKind : public NetworkKind {
public:
    std::string name() const override { return "StableDiffusionSafetyChecker"; }
    ModelDescription describe(const nlohmann::json& config) const override;
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override;
    std::unique_ptr<Network> build(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights) const override;
};

} // namespace dravelin
