#pragma once

// Stable Diffusion 1.5's text encoder, VAE, denoising network and safety checker at full
// size, with random weights, for the slow tests and the benchmark.

#include <nlohmann/json.hpp>

#include <filesystem>

namespace dravelin::testing {

// The configurations as the model hub publishes them.
nlohmann::json sd15TextEncoderConfig();
nlohmann::json sd15VaeConfig();
nlohmann::json sd15UNetConfig();
nlohmann::json sd15SafetyCheckerConfig();
// lllyasviel/sd-controlnet-canny's.
nlohmann::json sd15ControlNetConfig();

// Writes TextEncoder.model, VAEDecoder.model and VAEEncoder.model (each VAE
// bundle holds the whole two-half weight file, as the hub's does) into
// `directory`, with random F16 weights of PyTorch's default scale: uniform
// within ±1/√fan-in, norm scales 1 and shifts 0.
void writeFullSizeModels(const std::filesystem::path& directory);

// Writes Unet.model, the denoising network (about 1.7 GB of F16 weights), the
// same way; apart from the others for its size.
void writeFullSizeUNet(const std::filesystem::path& directory);
// Writes ControlNet.model (about 0.7 GB) the same way.
void writeFullSizeControlNet(const std::filesystem::path& directory);

// Writes SafetyChecker.model (CLIP ViT-L/14's vision tower, about 0.6 GB), the
// same way; its thresholds, 1 like every other vector, flag no image.
void writeFullSizeSafetyChecker(const std::filesystem::path& directory);

} // namespace dravelin::testing
