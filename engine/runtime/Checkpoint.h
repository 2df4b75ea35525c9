#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

namespace dravelin {

// A file that cannot be used as a model: pickled, malformed or hostile, or of
// a kind Dravelin does not run. The message is one sentence naming the file
// and, where it was recognised, its kind.
class CheckpointError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The kinds of single-file checkpoint Dravelin runs, told from the tensors'
// names and shapes (never from the file name or its free-text metadata).
enum class CheckpointKind { sd1, sdxlBase, sdxlRefiner, vae };

// "SD 1.x", "SDXL base", "SDXL refiner", "VAE".
std::string_view checkpointKindName(CheckpointKind kind);

struct CheckpointDescription {
    std::filesystem::path file;
    CheckpointKind kind = CheckpointKind::sd1;
    uint64_t fileBytes = 0;
    // Values in the tensors of the networks we read (extra keys not counted).
    int64_t parameterCount = 0;
    // Element types of those tensors: "F16" → number of tensors.
    std::map<std::string, int64_t> elementTypes;
    // The image side the model was trained for: 512 for SD 1.x, 1024 for
    // SDXL, 0 for a VAE.
    int imageSize = 0;
    // The latent scale of the model's family: 0.18215 (SD 1.x), 0.13025
    // (SDXL), 0 for a VAE, which serves either.
    float latentScale = 0.0f;
    // Whether the model carries its own autoencoder (a few files leave it
    // out and need a VAE file beside them).
    bool hasOwnVae = false;
    // One sentence for people: "SD 1.x model, 1.07 billion parameters (F16)."
    std::string summary;
};

// Reads the file's header only (mapped: milliseconds even for 7 GB), checks
// it and tells the kind and sizes. Throws CheckpointError for a pickled
// checkpoint (never unpickled; the message says how to convert it), a
// malformed or hostile header, and a kind Dravelin does not run (SD 2.x,
// inpainting networks), naming it.
CheckpointDescription inspectCheckpoint(const std::filesystem::path& file);
// The same for a checkpoint's bytes held in memory (they must outlive what is
// read from them); `label` stands for the file in messages.
CheckpointDescription inspectCheckpoint(std::span<const uint8_t> bytes,
                                        const std::filesystem::path& label);

// The networks a checkpoint holds. A part is named by a path that stands for
// a bundle directory inside the file ("model.safetensors/Unet.model"):
// Model::load, ManagedMLModel and both pipelines take such paths.
// The XL variants are the autoencoder at SDXL's latent size and scale, for a
// VAE file (which cannot tell its family) serving an SDXL model.
enum class CheckpointPart {
    textEncoder,
    textEncoder2,
    unet,
    vaeDecoder,
    vaeEncoder,
    vaeDecoderXL,
    vaeEncoderXL
};

std::filesystem::path checkpointPartPath(const std::filesystem::path& file, CheckpointPart part);

struct CheckpointPartLocation {
    std::filesystem::path file;
    CheckpointPart part;
};
// The file and part a path names; absent for any other path (a real bundle
// directory, say).
std::optional<CheckpointPartLocation> checkpointPartOf(const std::filesystem::path& path);

// Whether a bundle directory exists or, for a part path, the file holds the
// part. Never throws.
bool bundleExists(const std::filesystem::path& bundleOrPart);

} // namespace dravelin
