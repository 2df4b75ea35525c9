#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace dravelin {

struct ModelMakerOptions {
    // Stable Diffusion 1.5's own configurations (about 2.1 GB of F16 weights)
    // instead of tiny ones.
    bool fullSize = false;
    bool imageEncoder = false; // also write VAEEncoder.model
    // An SDXL directory (TextEncoder2.model beside the others; at full size
    // the hub's SDXL base configurations, about 6.9 GB of F16 weights), and
    // with `refiner` its refiner's UnetRefiner.model too (about 4.5 GB more).
    bool sdxl = false;
    bool refiner = false;
    uint64_t seed = 1;
    // A folder with vocab.json and merges.txt to use; without it a small
    // character-level vocabulary is written.
    std::filesystem::path tokenizer;
};

// Writes a complete model directory with random weights, laid out as the
// application installs one (tokenizer files, TextEncoder.model, Unet.model,
// VAEDecoder.model, the completion marker last), for tests, demos and speed
// measurements. Every weight a network reads is written with the shape its
// configuration gives. Throws std::runtime_error naming what failed.
void writeRandomModel(const std::filesystem::path& directory, const ModelMakerOptions& options,
                      const std::function<void(const std::string&)>& report = {});

} // namespace dravelin
