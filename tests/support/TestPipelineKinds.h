#pragma once

// Small network kinds standing in for each model of a pipeline, with results
// simple enough to check by hand, and a log of every build, release and
// prediction so tests can see when models load and unload.

#include "runtime/NetworkRegistry.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace dravelin::testing {

// Everything the stand-in networks did, in order: "load:NAME", "unload:NAME",
// "predict:NAME", NAME being the bundle's config "name".
class ModelEventLog {
public:
    static void record(const std::string& event);
    static std::vector<std::string> events();
    // Events of one kind ("load", "unload" or "predict"), names only.
    static std::vector<std::string> events(const std::string& kind);
    static void clear();
    // Called with each event as it happens, on the thread it happens on,
    // before the network goes on (a test may hold it there); empty for none.
    static void setObserver(std::function<void(const std::string&)> observer);
};

// Registers the stand-in kinds for the lifetime of this object:
//  TestTextEncoder  "input_ids" [1, L] → "last_hidden_state" [1, L, C]:
//                   row s = token_embedding[id] + 0.001 s; "hidden_embeds" the
//                   same less 1, "pooled_outputs" [1, C] its last row
//                   (without the 1 taken off)
//  TestUnet         "sample" [2, 4, h, w], "timestep" [2], "encoder_hidden_states"
//                   [2, C, 1, L] (+ any residuals) → "noise_pred" = sample × scale
//                   + 0.1 × mean(hidden states of that row) + 0.0001 × timestep
//                   + the mean of each residual's row (and, for an XL network
//                   with "time_ids" in its config, of "text_embeds" and
//                   "time_ids")
//  TestAddOne       "sample" → "sample" + 1 (a first chunk)
//  TestDecoder      "z" [1, 4, h, w] → "image" [1, 3, 2h, 2w] = tanh of
//                   z's first three channels, each pixel doubled
//  TestEncoder      "x" [1, 3, H, W] → "moments" [1, 8, H/2, W/2]: mean = 2×2
//                   average of channel c mod 3, log-variance = config value
//  TestControlNet   like TestUnet's inputs + "controlnet_cond" [2, 3, H, W] →
//                   "down_0" [2, 4, h, w] = gain × mean(conditioning row)
//  TestSafetyChecker "clip_input" [1, 3, S, S], "adjustment", "images" →
//                   "has_nsfw_concepts" [1] = mean(clip_input) > threshold
class PipelineKinds {
public:
    PipelineKinds();
    ~PipelineKinds();
    PipelineKinds(const PipelineKinds&) = delete;
    PipelineKinds& operator=(const PipelineKinds&) = delete;

private:
    std::vector<std::unique_ptr<ScopedNetworkKind>> registrations_;
};

struct TinyModelOptions {
    bool chunked = false; // UnetChunk1/2 beside Unet.model
    bool encoder = false; // VAEEncoder.model
    bool safetyChecker = false;
    float safetyThreshold = 10.0f;        // above every normalised mean: nothing flagged
    std::vector<std::string> controlNets; // under controlnet/, with ControlledUnet
    float encoderLogVariance = -100.0f;
    int latentSize = 8; // h = w; images are 2h × 2w
    int hiddenSize = 4;
    int sequenceLength = 8;
    int unetDelayMilliseconds = 0; // to make a run slow enough to watch
};

// Writes a model directory of stand-in bundles with a small tokenizer whose
// words are "a", "cat", "dog", "photo", "of" (and their merges).
void writeTinyModel(const std::filesystem::path& directory, const TinyModelOptions& options = {});

struct TinyXLModelOptions {
    bool textEncoder = true; // TextEncoder.model beside TextEncoder2.model
    bool refiner = false;    // UnetRefiner.model
    bool encoder = false;    // VAEEncoder.model
};

// An XL model directory of stand-ins: the tokenizer above (with "!"), text
// encoders of widths 4 and 6 over 8 positions, "unet" taking 6 time ids (5
// and the second encoder's states alone without the first encoder) and
// "unet_refiner" 5, latents 8 × 8.
void writeTinyXLModel(const std::filesystem::path& directory,
                      const TinyXLModelOptions& options = {});

} // namespace dravelin::testing
