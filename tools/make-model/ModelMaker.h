#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

struct ModelMakerOptions {
    // Stable Diffusion 1.5's own configurations (about 2.1 GB of F16 weights)
    // instead of tiny ones.
    bool fullSize = false;
    bool imageEncoder = false; // also write VAEEncoder.model
    // Also write SafetyChecker.model; its thresholds let every image through.
    bool safetyChecker = false;
    // ControlNets to write as controlnet/<name>.model (the canny model's
    // configuration at full size), with ControlledUnet.model beside Unet.model.
    std::vector<std::string> controlNets;
    // Also write PreviewDecoder.model (a tiny autoencoder: madebyollin/taesd's
    // configuration at full size).
    bool previewDecoder = false;
    // An SDXL directory (TextEncoder2.model beside the others; at full size
    // the hub's SDXL base configurations, about 6.9 GB of F16 weights), and
    // with `refiner` its refiner's UnetRefiner.model too (about 4.5 GB more).
    bool sdxl = false;
    bool refiner = false;
    // The denoising network is an inpainting network (9 input channels:
    // latents, mask, masked image latents); VAEEncoder.model is written too.
    bool inpainting = false;
    // Tiny configurations that a single-file checkpoint can express (32
    // normalisation groups, attention heads of 64 channels in the text
    // encoders, SD's fixed heads and latent sizes), so that the directory
    // and a checkpoint written from it are the same model.
    bool checkpointRules = false;
    uint64_t seed = 1;
    // A folder with vocab.json and merges.txt to use; without it a small
    // character-level vocabulary is written.
    std::filesystem::path tokenizer;
};

// Writes a complete model directory with random weights, laid out as the
// application installs one (tokenizer files, TextEncoder.model, Unet.model,
// VAEDecoder.model, optionally VAEEncoder.model and SafetyChecker.model, the
// completion marker last), for tests, demos and speed
// measurements. Every weight a network reads is written with the shape its
// configuration gives. Throws std::runtime_error naming what failed.
void writeRandomModel(const std::filesystem::path& directory, const ModelMakerOptions& options,
                      const std::function<void(const std::string&)>& report = {});

enum class LoraLayout { kohya, peft };

struct LoraMakerOptions {
    // For the full-size networks instead of the tiny ones.
    bool fullSize = false;
    LoraLayout layout = LoraLayout::kohya;
    int64_t rank = 4;
    uint64_t seed = 2;
    // A model directory whose networks the LoRA is made for (its
    // Unet.model, TextEncoder.model and, for SDXL, TextEncoder2.model),
    // instead of the tiny or full-size SD 1.5 networks.
    std::optional<std::filesystem::path> model;
};

// Writes a LoRA file with random weights for every linear and convolution
// layer of the denoising network and the text encoder's attention and MLP
// layers (of the models writeRandomModel makes), with kohya's names and
// alphas (alpha = rank / 2) or PEFT's names, in F16. Throws
// std::runtime_error naming what failed.
void writeRandomLora(const std::filesystem::path& file, const LoraMakerOptions& options);

} // namespace dravelin
