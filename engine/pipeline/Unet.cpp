#include "pipeline/Unet.h"

#include "runtime/FeatureNames.h"
#include "runtime/RuntimeErrors.h"

namespace dravelin {

ShapedArray timestepTensor(int timeStep) {
    const float value = static_cast<float>(timeStep);
    return ShapedArray({value, value}, Shape{2});
}

FeatureValueDictionary denoisingInputs(const ShapedArray& latent, const ShapedArray& timestep,
                                       const ShapedArray& hiddenStates) {
    return {{feature::sample, latent},
            {feature::timestep, timestep},
            {feature::encoderHiddenStates, hiddenStates}};
}

Unet::Unet(const std::filesystem::path& modelURL, const ModelConfiguration& configuration)
    : ManagedModelList({modelURL}, configuration) {}

Unet::Unet(const std::vector<std::filesystem::path>& chunkURLs,
           const ModelConfiguration& configuration)
    : ManagedModelList(chunkURLs, configuration) {}

Shape Unet::inputShape(const std::string& name) const {
    if (models_.empty()) {
        throw PredictionError("The denoising network has no model.");
    }
    return models_.front()->perform([&](Model& model) {
        const std::optional<FeatureDescription> input = model.modelDescription().input(name);
        if (!input) {
            throw PredictionError("The denoising network has no input \"" + name + "\".");
        }
        return input->shape;
    });
}

Shape Unet::latentSampleShape() const {
    return inputShape(feature::sample);
}

Shape Unet::latentTimeIdShape() const {
    return inputShape(feature::timeIds);
}

std::vector<ShapedArray>
Unet::predictNoise(const std::vector<ShapedArray>& latents, int timeStep,
                   const ShapedArray& hiddenStates,
                   const std::optional<std::vector<Residuals>>& additionalResiduals) {
    if (additionalResiduals && additionalResiduals->size() != latents.size()) {
        throw std::invalid_argument(
            "The denoising network got " + std::to_string(additionalResiduals->size()) +
            " residual sets for " + std::to_string(latents.size()) + " latents.");
    }
    const ShapedArray timestep = timestepTensor(timeStep);
    std::vector<FeatureProvider> inputs;
    inputs.reserve(latents.size());
    for (size_t i = 0; i < latents.size(); ++i) {
        FeatureValueDictionary features = denoisingInputs(latents[i], timestep, hiddenStates);
        if (additionalResiduals) {
            for (const auto& [name, residual] : (*additionalResiduals)[i]) {
                features.emplace(name, residual);
            }
        }
        inputs.emplace_back(std::move(features));
    }
    return noiseFrom(predictions(BatchProvider(std::move(inputs))));
}

std::vector<ShapedArray> Unet::predictNoise(const std::vector<ShapedArray>& latents, int timeStep,
                                            const ShapedArray& hiddenStates,
                                            const ShapedArray& pooledStates,
                                            const ShapedArray& geometryConditioning) {
    const ShapedArray timestep = timestepTensor(timeStep);
    std::vector<FeatureProvider> inputs;
    inputs.reserve(latents.size());
    for (const ShapedArray& latent : latents) {
        FeatureValueDictionary features = denoisingInputs(latent, timestep, hiddenStates);
        features.emplace(feature::textEmbeds, pooledStates);
        features.emplace(feature::timeIds, geometryConditioning);
        inputs.emplace_back(std::move(features));
    }
    return noiseFrom(predictions(BatchProvider(std::move(inputs))));
}

std::vector<ShapedArray> Unet::noiseFrom(const std::vector<FeatureProvider>& results) const {
    std::vector<ShapedArray> noise;
    noise.reserve(results.size());
    for (const FeatureProvider& result : results) {
        if (result.featureValueDictionary.empty()) {
            throw PredictionError("The denoising network produced no output.");
        }
        noise.push_back(result.featureValueDictionary.begin()->second);
    }
    return noise;
}

std::vector<FeatureProvider> Unet::predictions(const BatchProvider& batch) {
    if (models_.empty()) {
        throw PredictionError("The denoising network has no model.");
    }
    std::vector<FeatureProvider> results =
        models_.front()->perform([&](Model& model) { return model.predictions(batch); });
    for (size_t k = 1; k < models_.size(); ++k) {
        // A later chunk sees everything the first chunk was given, under what
        // the previous chunk produced (whose values win on a shared name).
        std::vector<FeatureProvider> merged;
        merged.reserve(results.size());
        for (size_t i = 0; i < results.size(); ++i) {
            FeatureValueDictionary features = std::move(results[i].featureValueDictionary);
            for (const auto& [name, value] : batch.features(i).featureValueDictionary) {
                features.emplace(name, value);
            }
            merged.emplace_back(std::move(features));
        }
        const BatchProvider next(std::move(merged));
        results = models_[k]->perform([&](Model& model) { return model.predictions(next); });
    }
    return results;
}

} // namespace dravelin
