#pragma once

#include "runtime/ComputePrecision.h"
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace dravelin {

// Which processors a model may run on. Only the CPU backend exists today, so
// every choice runs on the CPU.
enum class ComputeUnits { cpuOnly, cpuAndGPU, all };

// A LoRA weight file and how strongly it applies (1 as trained, 0 not at all).
struct LoraFile {
    std::filesystem::path path;
    float scale = 1.0f;

    bool operator==(const LoraFile&) const = default;
};

// Settings shared by every model a pipeline loads.
struct ModelConfiguration {
    ComputeUnits computeUnits = ComputeUnits::all;
    // DRAVELIN_PRECISION overrides `automatic`; see resolvePrecision().
    ComputePrecision computePrecision = ComputePrecision::automatic;
    // Merged into the denoising network and the text encoder as they load;
    // the other models ignore them.
    std::vector<LoraFile> loras = {};
    // The height and width (the last two dimensions) named inputs take
    // instead of the sizes the bundles give them, for images of a size the
    // networks were not exported at. Inputs of fewer than three dimensions
    // keep theirs.
    std::map<std::string, std::pair<int64_t, int64_t>> inputSizes = {};

    bool operator==(const ModelConfiguration&) const = default;
};

} // namespace dravelin
