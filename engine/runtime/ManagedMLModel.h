#pragma once

#include "runtime/ResourceManaging.h"
#include "runtime/Model.h"
#include "runtime/ModelConfiguration.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace dravelin {

// Owns one model bundle and loads it only when needed. Loads, unloads and
// predictions are serialised by one lock per holder (callers block, as with a
// synchronous serial queue), so one model is never used by two threads at once.
// Wrappers share a holder through std::shared_ptr.
class ManagedMLModel : public ResourceManaging {
public:
    // Loads nothing; cannot fail.
    ManagedMLModel(std::filesystem::path modelURL, ModelConfiguration configuration);

    const std::filesystem::path& modelURL() const { return modelURL_; }
    const ModelConfiguration& configuration() const { return configuration_; }
    // "managed." and the bundle directory's name, for diagnostics.
    const std::string& queueLabel() const { return queueLabel_; }
    bool isLoaded() const;

    // The loaded model's description or, when not loaded, the bundle's as
    // Model::describeBundle reads it (without loading). Throws ModelLoadError.
    ModelDescription description() const;

    // Input shapes that replace the bundle's (Model::load); a change unloads
    // the model, so the next use builds it for the new shapes.
    void setInputShapes(std::vector<FeatureDescription> inputShapes);
    std::vector<FeatureDescription> inputShapes() const;

    // Loads unless loaded; a failure stores nothing, so the next call retries.
    void loadResources() override;
    void unloadResources() noexcept override;
    // The bundle described (its weights checked against the files) unless
    // loaded: milliseconds. Throws ModelLoadError.
    void checkResources() override;

    // Loads if needed, then runs `body` with the model, holding the lock.
    // `body` must not call back into this holder.
    template <typename Body> auto perform(Body&& body) -> std::invoke_result_t<Body, Model&> {
        std::lock_guard lock(queue_);
        return std::forward<Body>(body)(loadModel());
    }

private:
    Model& loadModel();

    std::filesystem::path modelURL_;
    ModelConfiguration configuration_;
    std::vector<FeatureDescription> inputShapes_;
    std::string queueLabel_;
    mutable std::mutex queue_;
    std::unique_ptr<Model> loadedModel_;
};

} // namespace dravelin
