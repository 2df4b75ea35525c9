#include "pipeline/ManagedModelList.h"

#include "runtime/FeatureNames.h"

namespace dravelin {

ManagedModelList::ManagedModelList(const std::vector<std::filesystem::path>& modelURLs,
                                   const ModelConfiguration& configuration) {
    for (const std::filesystem::path& url : modelURLs) {
        models_.push_back(std::make_shared<ManagedMLModel>(url, configuration));
    }
}

void ManagedModelList::fitTextPositions(const ShapedArray& hiddenStates) {
    if (hiddenStates.rank() != 4) {
        return;
    }
    const int64_t positions = hiddenStates.shape().back();
    for (const auto& model : models_) {
        const std::optional<FeatureDescription> states =
            model->description().input(feature::encoderHiddenStates);
        if (!states || states->shape.empty() || states->shape.back() == positions) {
            continue;
        }
        FeatureDescription fitted = *states;
        fitted.shape.back() = positions;
        model->setInputShapes({fitted});
    }
}

void ManagedModelList::loadResources() {
    for (const auto& model : models_) {
        model->loadResources();
    }
}

void ManagedModelList::unloadResources() noexcept {
    for (const auto& model : models_) {
        model->unloadResources();
    }
}

void ManagedModelList::prewarmResources() {
    for (const auto& model : models_) {
        model->prewarmResources();
    }
}

void appendLoadedModels(std::vector<std::string>& names,
                        const std::vector<std::shared_ptr<ManagedMLModel>>& holders) {
    for (const std::shared_ptr<ManagedMLModel>& holder : holders) {
        if (holder && holder->isLoaded()) {
            const std::filesystem::path& url = holder->modelURL();
            names.push_back((url.has_filename() ? url.filename() : url.parent_path().filename())
                                .string());
        }
    }
}

} // namespace dravelin
