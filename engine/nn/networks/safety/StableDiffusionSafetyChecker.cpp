#include "nn/networks/safety/StableDiffusionSafetyChecker.h"

#include "nn/compute/ComputeContext.h"

#include <cmath>
#include <stdexcept>

namespace dravelin {

namespace {

const std::string kVision = "vision_model.vision_model";
constexpr int64_t kConcepts = SafetyCheckerConfig::kConcepts;
constexpr int64_t kSpecial = SafetyCheckerConfig::kSpecialCareConcepts;

// What a special-care match adds to every later score.
constexpr double kSpecialCareAdjustment = 0.01;

// diffusers rounds each score to three decimals before testing it, so a
// score below 0.0005 does not count.
bool aboveZero(double score) {
    return std::nearbyint(score * 1000.0) > 0.0;
}

} // namespace

WeightList StableDiffusionSafetyChecker::weights(const SafetyCheckerConfig& config) {
    WeightList list;
    ClipVisionTransformer::declare(list, config, kVision);
    Linear::declare(list, "visual_projection", config.hiddenSize, config.projectionDim, false);
    list.push_back({"concept_embeds", {kConcepts, config.projectionDim}});
    list.push_back({"special_care_embeds", {kSpecial, config.projectionDim}});
    list.push_back({"concept_embeds_weights", {kConcepts}});
    list.push_back({"special_care_embeds_weights", {kSpecial}});
    return list;
}

StableDiffusionSafetyChecker::StableDiffusionSafetyChecker(const SafetyCheckerConfig& config,
                                                           const WeightReader& weights,
                                                           int64_t batch)
    : config_(config), batch_(batch), vision_(config, weights, kVision),
      projection_(weights, "visual_projection", config.hiddenSize, config.projectionDim, false, 1),
      concepts_(normalizedRows(weights.read("concept_embeds", {kConcepts, config.projectionDim}))),
      specialCare_(
          normalizedRows(weights.read("special_care_embeds", {kSpecial, config.projectionDim}))),
      conceptThresholds_(weights.read("concept_embeds_weights", {kConcepts})),
      specialCareThresholds_(weights.read("special_care_embeds_weights", {kSpecial})) {}

std::vector<float> StableDiffusionSafetyChecker::normalizedRows(const ShapedArray& rows) {
    const int64_t width = rows.shape()[1];
    std::vector<float> unit(rows.values().begin(), rows.values().end());
    for (int64_t r = 0; r < rows.shape()[0]; ++r) {
        float* row = unit.data() + r * width;
        double sum = 0.0;
        for (int64_t i = 0; i < width; ++i) {
            sum += static_cast<double>(row[i]) * row[i];
        }
        // PyTorch's normalize: divide by the norm, but never by less than 1e-12.
        const double norm = std::max(std::sqrt(sum), 1e-12);
        for (int64_t i = 0; i < width; ++i) {
            row[i] = static_cast<float>(row[i] / norm);
        }
    }
    return unit;
}

std::vector<double>
StableDiffusionSafetyChecker::similarities(const std::vector<float>& unitRows,
                                           const std::vector<float>& embedding) const {
    const int64_t width = config_.projectionDim;
    std::vector<double> result(unitRows.size() / static_cast<size_t>(width));
    for (size_t r = 0; r < result.size(); ++r) {
        const float* row = unitRows.data() + static_cast<int64_t>(r) * width;
        double dot = 0.0;
        for (int64_t i = 0; i < width; ++i) {
            dot += static_cast<double>(row[i]) * embedding[static_cast<size_t>(i)];
        }
        // diffusers takes the similarities as float32.
        result[r] = static_cast<float>(dot);
    }
    return result;
}

bool StableDiffusionSafetyChecker::judge(const std::vector<float>& embedding, double adjustment,
                                         float* conceptScores, float* specialScores) const {
    const std::vector<double> special = similarities(specialCare_, embedding);
    for (int64_t k = 0; k < kSpecial; ++k) {
        const double score = special[k] - specialCareThresholds_.data()[k] + adjustment;
        specialScores[k] = static_cast<float>(score);
        if (aboveZero(score)) {
            adjustment = kSpecialCareAdjustment;
        }
    }
    const std::vector<double> concepts = similarities(concepts_, embedding);
    bool unsafe = false;
    for (int64_t j = 0; j < kConcepts; ++j) {
        const double score = concepts[j] - conceptThresholds_.data()[j] + adjustment;
        conceptScores[j] = static_cast<float>(score);
        // A score that is not a number (a broken network) must not pass an
        // image as safe.
        unsafe = unsafe || aboveZero(score) || !std::isfinite(score);
    }
    return unsafe;
}

FeatureValueDictionary StableDiffusionSafetyChecker::predict(const FeatureProvider& inputs) {
    ComputeThreadsScope threads;
    const ShapedArray& pixels = inputs.featureValue("clip_input");
    const ShapedArray& adjustment = inputs.featureValue("adjustment");
    const Shape& shape = pixels.shape();
    if (pixels.rank() != 4 || shape[0] != batch_ || shape[1] != config_.channels ||
        shape[2] / config_.patchSize != config_.grid() ||
        shape[3] / config_.patchSize != config_.grid()) {
        throw std::invalid_argument(
            "The safety checker takes \"clip_input\" of shape [" + std::to_string(batch_) + ", " +
            std::to_string(config_.channels) + ", " + std::to_string(config_.imageSize) + ", " +
            std::to_string(config_.imageSize) + "], not " + describe(shape) + ".");
    }
    if (adjustment.count() != 1 && adjustment.count() != batch_) {
        throw std::invalid_argument(
            "The safety checker takes one \"adjustment\" value or one per image, not " +
            std::to_string(adjustment.count()) + ".");
    }
    const int64_t imageValues = shape[1] * shape[2] * shape[3];
    ShapedArray verdicts(Shape{batch_});
    ShapedArray conceptScores(Shape{batch_, kConcepts});
    ShapedArray specialScores(Shape{batch_, kSpecial});
    std::vector<float> pooled(static_cast<size_t>(config_.hiddenSize));
    std::vector<float> embedding(static_cast<size_t>(config_.projectionDim));
    for (int64_t b = 0; b < batch_; ++b) {
        vision_.forward(pixels.data() + b * imageValues, shape[2], shape[3], pooled.data());
        projection_.forward(pooled.data(), embedding.data());
        const std::vector<float> unit = normalizedRows(
            ShapedArray(std::vector<float>(embedding), Shape{1, config_.projectionDim}));
        const double shift = adjustment.data()[adjustment.count() == 1 ? 0 : b];
        const bool unsafe = judge(unit, shift, conceptScores.data() + b * kConcepts,
                                  specialScores.data() + b * kSpecial);
        verdicts.data()[b] = unsafe ? 1.0f : 0.0f;
    }
    FeatureValueDictionary outputs;
    outputs.emplace("has_nsfw_concepts", std::move(verdicts));
    outputs.emplace("concept_scores", std::move(conceptScores));
    outputs.emplace("special_scores", std::move(specialScores));
    return outputs;
}

} // namespace dravelin
