#include "pipeline/ControlNet.h"

#include "runtime/FeatureNames.h"
#include "runtime/RuntimeErrors.h"

namespace dravelin {

ControlNet::ControlNet(const std::vector<std::filesystem::path>& modelURLs,
                       const ModelConfiguration& configuration)
    : ManagedModelList(modelURLs, configuration) {}

std::vector<Shape> ControlNet::inputImageShapes() const {
    std::vector<Shape> shapes;
    for (const auto& holder : models_) {
        shapes.push_back(holder->perform([](Model& model) {
            const std::optional<FeatureDescription> input =
                model.modelDescription().input(feature::controlNetCondition);
            if (!input) {
                throw PredictionError("A ControlNet model has no input \"controlnet_cond\".");
            }
            return input->shape;
        }));
    }
    return shapes;
}

std::vector<Residuals> ControlNet::execute(const std::vector<ShapedArray>& latents, float timeStep,
                                           const ShapedArray& hiddenStates,
                                           const std::vector<ShapedArray>& images) {
    if (images.size() < models_.size()) {
        throw std::invalid_argument(
            "ControlNet needs one conditioning image per model: " + std::to_string(models_.size()) +
            " models, " + std::to_string(images.size()) + " images.");
    }
    const ShapedArray timestep = timestepTensor(timeStep);
    std::vector<Residuals> sums;
    for (size_t k = 0; k < models_.size(); ++k) {
        std::vector<FeatureProvider> inputs;
        inputs.reserve(latents.size());
        for (const ShapedArray& latent : latents) {
            FeatureValueDictionary features = denoisingInputs(latent, timestep, hiddenStates);
            features.emplace(feature::controlNetCondition, images[k]);
            inputs.emplace_back(std::move(features));
        }
        const BatchProvider batch(std::move(inputs));
        std::vector<FeatureProvider> results =
            models_[k]->perform([&](Model& model) { return model.predictions(batch); });

        if (k == 0) {
            // The first model's residuals are taken as they are.
            for (FeatureProvider& result : results) {
                sums.push_back(std::move(result.featureValueDictionary));
            }
            continue;
        }
        for (size_t n = 0; n < results.size(); ++n) {
            for (const auto& [name, value] : results[n].featureValueDictionary) {
                auto found = sums[n].find(name);
                if (found == sums[n].end()) {
                    throw PredictionError("ControlNet model " + std::to_string(k + 1) +
                                          " gives the residual \"" + name +
                                          "\", which the first model does not.");
                }
                if (found->second.shape() != value.shape()) {
                    throw PredictionError("ControlNet models disagree on the shape of the "
                                          "residual \"" +
                                          name + "\".");
                }
                float* sum = found->second.data();
                const float* add = value.data();
                for (int64_t i = 0; i < value.count(); ++i) {
                    sum[i] += add[i];
                }
            }
        }
    }
    return sums;
}

} // namespace dravelin
