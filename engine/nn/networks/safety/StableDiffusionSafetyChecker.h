#pragma once

#include "nn/layers/Linear.h"
#include "nn/networks/safety/ClipVisionTransformer.h"
#include "nn/networks/safety/SafetyCheckerConfig.h"
#include "runtime/Network.h"

#include <cstdint>
#include <vector>

namespace dravelin {

// diffusers' StableDiffusionSafetyChecker. Takes "clip_input" [batch,
// channels, size, size] (the image resized and normalised for CLIP),
// "adjustment" (one value, or one per image) and "images" (part of the
// interface; never read). Gives "has_nsfw_concepts" [batch] (1 for an image
// judged unsafe, else 0) and, for inspection, the scores it judged by:
// "concept_scores" [batch, 17] and "special_scores" [batch, 3].
//
// The image embedding (the vision tower's pooled output through the visual
// projection) is compared by cosine similarity with 3 special-care and 17
// concept embeddings. As diffusers scores them: special score k = similarity
// − threshold k + adjustment, the adjustment starting at the input's value
// and becoming 0.01 once a special score is above zero; then concept score
// j = similarity − threshold j + that adjustment. An image is unsafe when a
// concept score, rounded to three decimals, is above zero (the special scores
// are rounded the same way before their test). A score that is not a number
// counts as unsafe.
class StableDiffusionSafetyChecker : public Network {
public:
    StableDiffusionSafetyChecker(const SafetyCheckerConfig& config, const WeightReader& weights,
                                 int64_t batch);
    static WeightList weights(const SafetyCheckerConfig& config);

    FeatureValueDictionary predict(const FeatureProvider& inputs) override;

private:
    // Rows of unit length, so a product with a unit vector is the cosine.
    static std::vector<float> normalizedRows(const ShapedArray& rows);
    // Cosine similarities of a unit embedding with each unit row.
    std::vector<double> similarities(const std::vector<float>& unitRows,
                                     const std::vector<float>& embedding) const;
    // Scores one image into its rows of the outputs; true when unsafe.
    bool judge(const std::vector<float>& embedding, double adjustment, float* conceptScores,
               float* specialScores) const;

    SafetyCheckerConfig config_;
    int64_t batch_;
    ClipVisionTransformer vision_;
    Linear projection_;
    std::vector<float> concepts_;
    std::vector<float> specialCare_;
    ShapedArray conceptThresholds_;
    ShapedArray specialCareThresholds_;
};

} // namespace dravelin
