#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// Where one weight of ours lies in a single-file checkpoint: the tensor's name
// there and how its values are laid out against ours.
struct CheckpointTensorLink {
    std::string name;
    // A fused projection holds several of ours stacked along the first axis:
    // ours is block `slice` of `slices` equal blocks (q, k, v of 3). 0 of 1
    // when the tensor is ours whole.
    int slice = 0;
    int slices = 1;
    // A matrix applied as x · P, where ours is applied as x · Wᵀ: ours is its
    // transpose.
    bool transposed = false;
};

// The block layout of a denoising network that decides its original names:
// the resnets per down block and, per up block, whether it has transformers.
struct UnetNameLayout {
    int64_t layersPerBlock = 2;
    std::vector<bool> upBlockAttention;
};

// Our name of a weight (diffusers' module path) to its name in a
// latent-diffusion checkpoint, without the part's prefix; absent for a name
// the layout has no place for.
std::optional<CheckpointTensorLink> unetCheckpointName(const std::string& ours,
                                                       const UnetNameLayout& layout);
// The autoencoder of `levels` resolution levels.
std::optional<CheckpointTensorLink> vaeCheckpointName(const std::string& ours, int64_t levels);
// The OpenCLIP text encoder in place of transformers' CLIP names.
std::optional<CheckpointTensorLink> openClipCheckpointName(const std::string& ours);

} // namespace dravelin
