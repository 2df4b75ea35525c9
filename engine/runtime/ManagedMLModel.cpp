#include "runtime/ManagedMLModel.h"

#include "runtime/SystemMemory.h"

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
    return loadedModel_ ? loadedModel_->modelDescription()
                        : Model::describeBundle(modelURL_, configuration_, inputShapes_);
}

void ManagedMLModel::setInputShapes(std::vector<FeatureDescription> inputShapes) {
    std::lock_guard lock(queue_);
    if (inputShapes != inputShapes_) {
        loadedModel_.reset();
        inputShapes_ = std::move(inputShapes);
    }
}

std::vector<FeatureDescription> ManagedMLModel::inputShapes() const {
    std::lock_guard lock(queue_);
    return inputShapes_;
}

void ManagedMLModel::loadResources() {
    std::lock_guard lock(queue_);
    loadModel();
}

void ManagedMLModel::unloadResources() noexcept {
    std::lock_guard lock(queue_);
    if (loadedModel_) {
        loadedModel_.reset();
        // Its weights' pages leave the resident size now, not when the heap
        // happens to reuse them.
        returnFreedMemory();
    }
}

void ManagedMLModel::checkResources() {
    description();
}

Model& ManagedMLModel::loadModel() {
    if (!loadedModel_) {
        loadedModel_ = Model::load(modelURL_, configuration_, inputShapes_);
    }
    return *loadedModel_;
}

} // namespace dravelin
