#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace dravelin {

// A "parameters" text that cannot be read; the message says what is wrong
// in a sentence a user can act on.
class ParametersError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A LoRA named in a prompt as "<lora:NAME:WEIGHT>".
struct PromptLora {
    std::string name;
    float weight = 1.0f;
    // From the "Lora hashes" pair, when the text gives one for this name.
    std::string hash;

    bool operator==(const PromptLora&) const = default;
};

// The settings of one image as written in a PNG's "parameters" text, the way
// image tools and image-sharing sites write and read it:
//
//   a prompt, on one or more lines <lora:name:0.8>
//   Negative prompt: what not to show
//   Steps: 20, Sampler: DPM++ 2M, Schedule type: Karras, CFG scale: 7, Seed: 1,
//   Size: 512x768, Model hash: 31e35c80fc, Model: name, Lora hashes: "name: 7ab3c2d1e0f4"
//
// (the last line is one line). Only the keys below are read; any other pair
// is skipped. A field is absent when the text does not give it.
struct GenerationParameters {
    // Without its "<lora:…>" tags, which are in `loras`.
    std::string prompt;
    std::string negativePrompt;
    std::vector<PromptLora> loras;
    std::optional<int64_t> steps;
    // As written, e.g. "Euler a"; an older form with " Karras" appended is
    // read as the sampler with the schedule type "Karras".
    std::optional<std::string> sampler;
    // "Karras" for Karras timestep spacing; "Automatic" is read as absent.
    std::optional<std::string> scheduleType;
    std::optional<float> guidance;
    std::optional<uint32_t> seed;
    std::optional<int> width;
    std::optional<int> height;
    std::optional<std::string> modelHash;
    std::optional<std::string> model;
    // From 1: the text encoder's hidden state counted from the end.
    std::optional<int> clipSkip;
    // Image-to-image strength, or the enlarged pass's with the hires fix.
    std::optional<float> denoisingStrength;
    // The hires fix: how much larger the final image is (above 0), the
    // enlarged pass's steps (0: as many as the first pass) and, as other
    // tools name it, how the image was enlarged.
    std::optional<float> hiresUpscale;
    std::optional<int64_t> hiresSteps;
    std::optional<std::string> hiresUpscaler;

    bool operator==(const GenerationParameters&) const = default;
};

// Throws ParametersError for text whose last line is not "Key: value" pairs
// with "Steps" among them, an unterminated quote, a LoRA tag without a name
// or weight, or a known key with a value of the wrong form. A pure function
// of the text.
GenerationParameters parseGenerationParameters(std::string_view text);

// The text parseGenerationParameters reads back to the same value. LoRA
// names must be valid (see isWritableLoraName); throws std::invalid_argument
// otherwise.
std::string writeGenerationParameters(const GenerationParameters& parameters);

// Takes the "<lora:NAME:WEIGHT>" tags (weight 1 when left out) out of a
// prompt, each with the space before it, and gives them in order, as prompt
// tools read them. Throws ParametersError for a tag without a name or with a
// weight that is not a number.
std::vector<PromptLora> takePromptLoras(std::string& prompt);

// A LoRA name a prompt tag can hold: not empty, none of ':', '<', '>', no
// line break, and no space at either end.
bool isWritableLoraName(std::string_view name);

} // namespace dravelin
