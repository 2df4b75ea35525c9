#pragma once

#include "runtime/Checkpoint.h"
#include "runtime/WeightFiles.h"

#include <nlohmann/json.hpp>

#include <span>
#include <string>

namespace dravelin {

// One network of a checkpoint, read as a bundle would be: the configuration
// its tensors imply, the kind to build, and its weights mapped from the file
// where they lie under our names.
struct CheckpointBundle {
    nlohmann::json config;
    std::string kindName;
    WeightFiles weights;
};

// Throws CheckpointError for a file that is not a usable checkpoint, has no
// such part, or lacks or misplaces a tensor the network reads.
CheckpointBundle readCheckpointPart(const CheckpointPartLocation& location);
// The same for a checkpoint's bytes in memory, as inspectCheckpoint takes them.
CheckpointBundle readCheckpointPart(std::span<const uint8_t> bytes,
                                    const std::filesystem::path& label, CheckpointPart part);

} // namespace dravelin
