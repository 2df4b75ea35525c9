#pragma once

#include "core/ShapedArray.h"
#include "pipeline/ManagedModelList.h"
#include "runtime/ManagedMLModel.h"

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// Residual inputs for the denoising network, by input name.
using Residuals = std::map<std::string, ShapedArray>;

// The denoising network: one bundle, or a chain of chunks run one after the
// other, each seeing the previous chunk's outputs plus the first chunk's inputs.
class Unet : public ManagedModelList {
public:
    Unet(const std::filesystem::path& modelURL, const ModelConfiguration& configuration);
    Unet(const std::vector<std::filesystem::path>& chunkURLs,
         const ModelConfiguration& configuration);

    // The "sample" input's shape, batch first; "time_ids" for XL networks.
    Shape latentSampleShape() const;
    Shape latentTimeIdShape() const;
    // Whether every model takes a batch of one image, the prompt's half
    // alone, besides the guidance batch of two.
    bool takesSingleImageBatch() const;

    // One noise prediction per latent ([2, c, h, w] each, both guidance rows,
    // or [1, c, h, w] for the prompt alone), in order; residuals are matched
    // to latents by position.
    std::vector<ShapedArray>
    predictNoise(const std::vector<ShapedArray>& latents, float timeStep,
                 const ShapedArray& hiddenStates,
                 const std::optional<std::vector<Residuals>>& additionalResiduals = std::nullopt);
    // The XL variant, with pooled text embeddings and geometry conditioning.
    std::vector<ShapedArray> predictNoise(const std::vector<ShapedArray>& latents, float timeStep,
                                          const ShapedArray& hiddenStates,
                                          const ShapedArray& pooledStates,
                                          const ShapedArray& geometryConditioning);

    // Runs the chain on a batch; the results of the last chunk.
    std::vector<FeatureProvider> predictions(const BatchProvider& batch);

private:
    Shape inputShape(const std::string& name) const;
    std::vector<ShapedArray> noiseFrom(const std::vector<FeatureProvider>& results) const;
};

// Shape [batch] holding the timestep once per image of the batch (twice for
// the guidance batch).
ShapedArray timestepTensor(float timeStep, int64_t batch = 2);

// The inputs every denoising-side network takes for one latent.
FeatureValueDictionary denoisingInputs(const ShapedArray& latent, const ShapedArray& timestep,
                                       const ShapedArray& hiddenStates);

} // namespace dravelin
