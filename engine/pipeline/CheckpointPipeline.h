#pragma once

#include "pipeline/PipelineConfiguration.h"
#include "pipeline/StableDiffusionPipelineProtocol.h"
#include "runtime/Checkpoint.h"
#include "runtime/ModelConfiguration.h"

#include <filesystem>
#include <memory>
#include <optional>

namespace dravelin {

// The files a generation from single-file checkpoints uses.
struct CheckpointFiles {
    // An SD 1.x or SDXL base checkpoint.
    std::filesystem::path model;
    // An SDXL refiner checkpoint, for an SDXL base model only.
    std::optional<std::filesystem::path> refiner;
    // A single-file VAE used in place of the model's own.
    std::optional<std::filesystem::path> vae;
    // A folder with the CLIP tokenizer's vocab.json and merges.txt (a
    // checkpoint holds none; every model of these families shares them).
    std::filesystem::path tokenizerDirectory;
    // A preview decoder bundle for the model's latents; without one,
    // previews are projected.
    std::optional<std::filesystem::path> previewDecoder;
};

struct CheckpointPipeline {
    std::shared_ptr<StableDiffusionPipelineProtocol> pipeline;
    // The model's own description (kind, sizes, summary).
    CheckpointDescription model;
    bool isXL = false;
};

// Inspects the files and builds the SD or SDXL pipeline from them, loading
// nothing yet; `configuration` is completed for the model (its latent scale
// and, for SDXL, the geometry it was trained at). Throws CheckpointError for
// a file that is not a usable checkpoint or does not fit its role (a refiner
// as the model, a model as the VAE, a refiner beside an SD 1.x model), and
// the tokenizer's errors.
CheckpointPipeline makeCheckpointPipeline(const CheckpointFiles& files,
                                          const ModelConfiguration& runtime,
                                          PipelineConfiguration& configuration,
                                          bool reduceMemory = false);

} // namespace dravelin
