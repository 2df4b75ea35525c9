#pragma once

#include "runtime/Checkpoint.h"
#include "runtime/CheckpointNames.h"
#include "runtime/Safetensors.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <string>

namespace dravelin {

// The families' latent sides (512 and 1024 pixels) and scales.
constexpr int64_t kSD1LatentSide = 64;
constexpr int64_t kXLLatentSide = 128;
constexpr float kSD1LatentScale = 0.18215f;
constexpr float kXLLatentScale = 0.13025f;

// How one network lies in a checkpoint: the configuration its tensors imply
// (in diffusers' keys, as a bundle's config.json has them), the network kind
// to build, and where each of our weights is.
struct CheckpointNetwork {
    nlohmann::json config;
    std::string kindName;
    std::string prefix;
    std::function<std::optional<CheckpointTensorLink>(const std::string& ours)> name;
};

// Everything a checkpoint's header tells: its kind and its networks.
struct CheckpointLayout {
    CheckpointKind kind = CheckpointKind::sd1;
    std::optional<CheckpointNetwork> textEncoder;
    std::optional<CheckpointNetwork> textEncoder2;
    std::optional<CheckpointNetwork> unet;
    std::optional<CheckpointNetwork> vae;
};

// Reads the layout from the tensors' names and shapes; `where` names the file
// in messages ("The file \"x.safetensors\""). Throws CheckpointError for a
// kind Dravelin does not run, or shapes no model of its kind has.
CheckpointLayout readCheckpointLayout(const SafetensorsFile& file, const std::string& where);

} // namespace dravelin
