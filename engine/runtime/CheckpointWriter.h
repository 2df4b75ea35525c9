#pragma once

#include <filesystem>

namespace dravelin {

// What a single-file checkpoint written from a model directory holds.
enum class CheckpointContents {
    // The text encoder(s), the denoising network and the autoencoder.
    model,
    // An SDXL directory's refiner (UnetRefiner.model) with the second text
    // encoder and the autoencoder, as refiner checkpoints hold them.
    refiner,
    // The autoencoder alone, in its original names without a prefix.
    vae,
};

// Writes the networks of a model directory (bundles as dravelin-make-model or
// the application installs them) into one safetensors file in the original
// latent-diffusion layout, every tensor in its own element type and values,
// so that the checkpoint reader gives back exactly the same weights. The
// directory's configurations must be ones a single file can express (the
// fixed rules a file holds no configuration for: 32 normalisation groups,
// text attention heads of 64 channels, ...). Throws std::runtime_error naming
// what failed; the file appears complete or not at all.
void writeCheckpoint(const std::filesystem::path& modelDirectory,
                     const std::filesystem::path& file, CheckpointContents contents);

} // namespace dravelin
