#pragma once

#include "core/ShapedArray.h"
#include "runtime/ManagedMLModel.h"
#include "runtime/ResourceManaging.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
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

    // Has each model that takes "encoder_hidden_states" take as many text
    // positions as `hiddenStates` [batch, channels, 1, positions] holds (77
    // per prompt chunk): one built for another number is unloaded and built
    // again for these when next used.
    void fitTextPositions(const ShapedArray& hiddenStates);

protected:
    std::vector<std::shared_ptr<ManagedMLModel>> models_;
};

// Adds the bundle directory name ("Unet.model") of each holder whose network
// is loaded now; null holders are passed over.
void appendLoadedModels(std::vector<std::string>& names,
                        const std::vector<std::shared_ptr<ManagedMLModel>>& holders);

} // namespace dravelin
