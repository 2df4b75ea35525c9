#pragma once

#include "core/ShapedArray.h"
#include "pipeline/ManagedModelList.h"
#include "pipeline/Unet.h"
#include "runtime/ManagedMLModel.h"

#include <filesystem>
#include <memory>
#include <vector>

namespace dravelin {

// One or more ControlNet models run beside the denoising network; their
// residuals are summed name by name and handed to the network as extra inputs.
class ControlNet : public ManagedModelList {
public:
    ControlNet(const std::vector<std::filesystem::path>& modelURLs,
               const ModelConfiguration& configuration);

    // The "controlnet_cond" shape of each model: the size its image must have.
    std::vector<Shape> inputImageShapes() const;

    // One summed residual set per latent. `images` holds one conditioning
    // tensor per model, in model order.
    std::vector<Residuals> execute(const std::vector<ShapedArray>& latents, float timeStep,
                                   const ShapedArray& hiddenStates,
                                   const std::vector<ShapedArray>& images);
};

} // namespace dravelin
