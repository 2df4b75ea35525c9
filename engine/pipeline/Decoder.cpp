#include "pipeline/Decoder.h"

#include "pipeline/ImageConversion.h"
#include "runtime/RuntimeErrors.h"

namespace dravelin {

Decoder::Decoder(const std::filesystem::path& modelURL, const ModelConfiguration& configuration)
    : model_(std::make_shared<ManagedMLModel>(modelURL, configuration)) {}

std::string Decoder::inputName() const {
    return model_->perform([](Model& model) {
        if (model.modelDescription().inputs.empty()) {
            throw PredictionError("The decoder model has no input.");
        }
        return model.modelDescription().inputs.front().name;
    });
}

std::vector<Image> Decoder::decode(std::span<const ShapedArray> latents, float scaleFactor) {
    const std::string name = inputName();
    std::vector<FeatureProvider> inputs;
    inputs.reserve(latents.size());
    for (const ShapedArray& latent : latents) {
        ShapedArray scaled(latent.shape());
        const float* in = latent.data();
        float* out = scaled.data();
        for (int64_t i = 0; i < latent.count(); ++i) {
            out[i] = in[i] / scaleFactor;
        }
        inputs.emplace_back(FeatureValueDictionary{{name, std::move(scaled)}});
    }
    const BatchProvider batch(std::move(inputs));
    const std::vector<FeatureProvider> results =
        model_->perform([&](Model& model) { return model.predictions(batch); });

    std::vector<Image> images;
    images.reserve(results.size());
    for (const FeatureProvider& result : results) {
        if (result.featureValueDictionary.empty()) {
            throw PredictionError("The decoder model produced no output.");
        }
        images.push_back(imageFromShapedArray(result.featureValueDictionary.begin()->second));
    }
    return images;
}

} // namespace dravelin
