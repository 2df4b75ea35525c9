#pragma once

#include "core/ShapedArray.h"
#include "runtime/ModelConfiguration.h"
#include "runtime/Safetensors.h"
#include "runtime/WeightFiles.h"

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace dravelin {

// A LoRA file that cannot be used: unreadable, malformed, or changing a layer
// the network does not have. The message names the file and the layer.
class LoraError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The networks a LoRA file holds layers for: SD 1.x has one text encoder,
// SDXL a second one with a projection.
enum class LoraTarget { denoisingNetwork, textEncoder, textEncoder2 };

// The LoRA target of a network kind ("UNet2DConditionModel", "CLIPTextModel",
// "CLIPTextModelWithProjection"), absent for kinds that LoRA files do not
// change.
std::optional<LoraTarget> loraTargetOfKind(const std::string& kindName);

// The low-rank updates of one network from one or more LoRA files, by the name
// of the weight they change. A weight W of shape [out, in, …] becomes
//   W + Σ scale × (alpha / rank) × up · down
// with up [out, rank] and down [rank, in × kernel] (1×1 and 3×3 convolution
// kernels flattened), computed in float32 on the float32 weight.
//
// Two layouts of layer names are read: kohya's ("lora_unet_", "lora_te_";
// for SDXL "lora_te1_" and "lora_te2_"; the module path with "_" for ".",
// then ".lora_down.weight", ".lora_up.weight" and ".alpha") and
// diffusers'/PEFT's ("unet.", "text_encoder.", "text_encoder_2.", the module
// path, then ".lora_A.weight"/".lora_B.weight" or
// ".lora.down.weight"/".lora.up.weight", and an optional ".alpha"). Without an
// alpha the update is scaled by 1 (alpha = rank).
class LoraWeights {
public:
    // Reads every file and keeps the layers for `target`, matched against the
    // network's weights. Throws LoraError naming the file and the tensor or
    // layer for a name of neither layout, a layer the network does not have,
    // a missing half, or shapes that do not multiply to the weight's.
    static std::shared_ptr<const LoraWeights> read(const std::vector<LoraFile>& files,
                                                   LoraTarget target,
                                                   const std::vector<WeightSpec>& weights);

    bool empty() const { return updates_.empty(); }
    // The weights some file changes, in name order.
    std::vector<std::string> changedWeights() const;

    // Adds every update of the weight `name` to `weight` (which has the
    // network's shape); other weights are left alone.
    void apply(const std::string& name, ShapedArray& weight) const;

private:
    struct Update {
        const TensorView* down;
        const TensorView* up;
        float factor; // scale × alpha / rank
    };

    std::vector<std::unique_ptr<SafetensorsFile>> files_;
    std::map<std::string, std::vector<Update>> updates_;
};

} // namespace dravelin
