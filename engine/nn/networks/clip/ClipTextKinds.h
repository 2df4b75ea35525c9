#pragma once

#include "runtime/Network.h"

namespace dravelin {

// "CLIPTextModel" and "CLIPTextModelWithProjection": input "input_ids"
// [1, max_position_embeddings]; outputs "last_hidden_state", "hidden_embeds"
// and "pooled_outputs" (projected by "text_projection" in the second kind).
class ClipTextKind : public NetworkKind {
public:
    explicit ClipTextKind(bool projected) : projected_(projected) {}

    std::string name() const override {
        return projected_ ? "CLIPTextModelWithProjection" : "CLIPTextModel";
    }
    ModelDescription describe(const nlohmann::json& config) const override;
    std::vector<WeightSpec> expectedWeights(const nlohmann::json& config) const override;
    std::unique_ptr<Network> build(const nlohmann::json& config,
                                   const ModelDescription& description,
                                   const WeightFiles& weights) const override;

private:
    bool projected_;
};

} // namespace dravelin
