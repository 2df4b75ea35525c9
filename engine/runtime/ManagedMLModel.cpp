#include "runtime/ManagedMLModel.h"

namespace dravelin {

ManagedMLModel::ManagedMLModel(std::filesystem::path modelURL, ModelConfiguration configuration)
    : modelURL_(std::move(modelURL)), configuration_(configuration),
      queueLabel_("managed." + (modelURL_.has_filename() ? modelURL_.filename()
                                                         : modelURL_.parent_path().filename())
                                   .string()) {}

bool ManagedMLModel::isLoaded() const {
    std::lock_guard lock(queue_);
    return loadedModel_ != nullptr;
}

ModelDescription ManagedMLModel::description() const {
    std::lock_guard lock(queue_);
    return loadedModel_ ? loadedModel_->modelDescription() : Model::describeBundle(modelURL_, configuration_);
}

void ManagedMLModel::loadResources() {
    std::lock_guard lock(queue_);
    loadModel();
}

void ManagedMLModel::unloadResources() noexcept {
    std::lock_guard lock(queue_);
    loadedModel_.reset();
}

Model& ManagedMLModel::loadModel() {
    if (!loadedModel_) {
        loadedModel_ = Model::load(modelURL_, configuration_);
    }
    return *loadedModel_;
}

} // namespace dravelin
