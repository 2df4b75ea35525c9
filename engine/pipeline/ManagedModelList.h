#pragma once

#include "runtime/ResourceManaging.h"
#include "runtime/ManagedMLModel.h"

#include <filesystem>
#include <memory>
#include <vector>

namespace dravelin {

// An ordered list of model holders managed together: a chunked denoising
// network, or several ControlNet models.
class ManagedModelList : public ResourceManaging {
public:
    ManagedModelList(const std::vector<std::filesystem::path>& modelURLs,
                     const ModelConfiguration& configuration);

    // In list order; the first failure stops the loop (earlier models stay loaded).
    void loadResources() override;
    void unloadResources() noexcept override;
    // Each model loaded and unloaded before the next, so at most one is resident.
    void prewarmResources() override;

    const std::vector<std::shared_ptr<ManagedMLModel>>& models() const { return models_; }

protected:
    std::vector<std::shared_ptr<ManagedMLModel>> models_;
};

} // namespace dravelin
