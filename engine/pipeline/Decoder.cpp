#include "pipeline/Decoder.h"

#include "pipeline/ImageConversion.h"
#include "runtime/RuntimeErrors.h"

#include <algorithm>

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

namespace {

ShapedArray runOnce(ManagedMLModel& model, const std::string& name, const ShapedArray& latent) {
    FeatureProvider result = model.perform(
        [&](Model& loaded) { return loaded.prediction(FeatureProvider({{name, latent}})); });
    if (result.featureValueDictionary.empty()) {
        throw PredictionError("The decoder model produced no output.");
    }
    return std::move(result.featureValueDictionary.begin()->second);
}

} // namespace

Shape Decoder::inputShape() const {
    return model_->perform([](Model& model) {
        if (model.modelDescription().inputs.empty()) {
            throw PredictionError("The decoder model has no input.");
        }
        return model.modelDescription().inputs.front().shape;
    });
}

std::vector<Image> Decoder::decode(std::span<const ShapedArray> latents, float scaleFactor) {
    const std::string name = inputName();
    const Shape input = inputShape();
    std::vector<FeatureProvider> inputs;
    inputs.reserve(latents.size());
    bool resized = false;
    for (const ShapedArray& latent : latents) {
        ShapedArray scaled(latent.shape());
        const float* in = latent.data();
        float* out = scaled.data();
        for (int64_t i = 0; i < latent.count(); ++i) {
            out[i] = in[i] / scaleFactor;
        }
        resized = resized || (input.size() == 4 && scaled.shape() != input);
        inputs.emplace_back(FeatureValueDictionary{{name, std::move(scaled)}});
    }
    std::vector<Image> images;
    images.reserve(latents.size());
    if (resized) {
        // Latents of another size than the decoder was built for go through
        // a copy built for theirs, one latent at a time; where the image is
        // large it works in bands of rows (see VaeDecoder), so memory stays
        // bounded while the result is the one-pass one, with no seams. The
        // copy goes again afterwards.
        for (const FeatureProvider& features : inputs) {
            const ShapedArray& latent = features.featureValue(name);
            if (latent.shape() == input) {
                images.push_back(imageFromShapedArray(runOnce(*model_, name, latent)));
                continue;
            }
            ModelConfiguration sized = model_->configuration();
            sized.inputSizes[name] = {latent.shape()[2], latent.shape()[3]};
            ManagedMLModel whole(model_->modelURL(), sized);
            images.push_back(imageFromShapedArray(runOnce(whole, name, latent)));
            whole.unloadResources();
        }
        return images;
    }
    const BatchProvider batch(std::move(inputs));
    const std::vector<FeatureProvider> results =
        model_->perform([&](Model& model) { return model.predictions(batch); });

    for (const FeatureProvider& result : results) {
        if (result.featureValueDictionary.empty()) {
            throw PredictionError("The decoder model produced no output.");
        }
        images.push_back(imageFromShapedArray(result.featureValueDictionary.begin()->second));
    }
    return images;
}

} // namespace dravelin
