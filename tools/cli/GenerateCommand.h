#pragma once

#include "pipeline/HiresFix.h"
#include "pipeline/PipelineConfiguration.h"
#include "runtime/ModelConfiguration.h"
#include "runtime/ComputePrecision.h"

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace dravelin {

// What `dravelin-cli` was asked to do.
struct GenerateOptions {
    // A model directory, or a single-file checkpoint (.safetensors).
    std::filesystem::path model;
    // With a single-file model: a VAE file used in place of its own, an SDXL
    // refiner file, and the folder with the tokenizer files (by default the
    // application's model directory).
    std::optional<std::filesystem::path> vae;
    std::optional<std::filesystem::path> refiner;
    std::optional<std::filesystem::path> tokenizer;
    PipelineConfiguration configuration{""};
    // Merged into the denoising network and text encoder, in order.
    std::vector<LoraFile> loras;
    // Textual-inversion embeddings the prompts may name; a later file of the
    // same name wins.
    std::vector<std::filesystem::path> embeddings;
    std::filesystem::path output = "dravelin.png";
    std::optional<std::filesystem::path> previewDirectory;
    // One ControlNet per entry, in command-line order: the model's name under
    // the model directory's controlnet/ folder and its conditioning image.
    struct ControlNetInput {
        std::string name;
        std::filesystem::path image;
    };
    std::vector<ControlNetInput> controlNets;
    // --width and --height; absent: the denoising network's own size.
    std::optional<int64_t> width;
    std::optional<int64_t> height;
    // Previews through the full decoder instead of the fast preview path.
    bool fullDecoderPreviews = false;
    bool reduceMemory = false;
    // --precision; automatic leaves the choice to DRAVELIN_PRECISION and the
    // processor.
    ComputePrecision precision = ComputePrecision::automatic;
    bool help = false;
    // Options only an SDXL model directory takes (--refiner-start and the
    // aesthetic scores), so a plain directory can refuse them.
    bool xlOptions = false;
    bool refinerStartGiven = false;
    // Image-to-image from this PNG (fitted to the generation size), and
    // inpainting where a mask PNG is given too.
    std::optional<std::filesystem::path> initImage;
    std::optional<std::filesystem::path> mask;
    // --hires: generate, enlarge by this factor, refine at the larger size.
    std::optional<HiresFix> hires;
    // What --from-png set, so that later options can take its place.
    struct FromPng {
        bool given = false;
        bool lorasFromPng = false;
        // The image's sampler when no scheduler has its name; refused
        // unless a later --scheduler chooses one.
        std::string unknownSampler;
        // The image's clip skip, dropped for an SDXL model (which has none)
        // instead of refused.
        bool clipSkipFromPng = false;
    } fromPng;
};

// Where a starting image or mask PNG is read, bounded as the engine's image
// reader is (other formats are refused by name); every input image of the
// command goes through it.
Image readInputImage(const std::filesystem::path& path);

// An SDXL model directory: one with the second text encoder's bundle.
bool isXLModelDirectory(const std::filesystem::path& directory);

// The --help text, generated from the option table.
std::string generateUsage();

// Reads the command line; throws std::invalid_argument with a one-line
// message for anything it cannot use.
GenerateOptions parseGenerateOptions(const std::vector<std::string>& arguments);

// The model directory the application installs, used when --model is absent.
std::filesystem::path defaultModelDirectory();

// Where image `index` of `count` goes: the output path itself for one image,
// else numbered names beside it ("out-1.png", "out-2.png", …).
std::filesystem::path outputPathFor(const std::filesystem::path& output, int64_t index,
                                    int64_t count);

// The generation parameters as image tools read them from a PNG's
// "parameters" text; LoRA files are named in the prompt as "<lora:name:scale>".
// `modelHash` (the short hash of a single-file model, empty for a directory)
// goes before the name, as the most used tools write it.
std::string parametersText(const PipelineConfiguration& configuration, int width, int height,
                           const std::string& modelName, const std::vector<LoraFile>& loras = {},
                           const std::string& modelHash = {},
                           const std::optional<HiresFix>& hires = std::nullopt);

// Runs the whole command; returns the exit status (0 success, 1 failure, 2 bad
// command line). Progress goes to `err`, one line per step.
int runGenerateCommand(const std::vector<std::string>& arguments, std::ostream& out,
                       std::ostream& err);

} // namespace dravelin
