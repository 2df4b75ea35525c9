#include "pipeline/ManagedModelList.h"

namespace dravelin {

ManagedModelList::ManagedModelList(const std::vector<std::filesystem::path>& modelURLs,
                                   const ModelConfiguration& configuration) {
    for (const std::filesystem::path& url : modelURLs) {
        models_.push_back(std::make_shared<ManagedMLModel>(url, configuration));
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

} // namespace dravelin
