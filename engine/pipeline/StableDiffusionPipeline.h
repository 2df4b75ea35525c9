#pragma once

#include "pipeline/ControlNet.h"
#include "pipeline/Decoder.h"
#include "pipeline/Encoder.h"
#include "pipeline/PipelineProgress.h"
#include "pipeline/PreviewDecoder.h"
#include "pipeline/PromptEncodingMemo.h"
#include "random/RandomSource.h"
#include "pipeline/SafetyChecker.h"
#include "schedulers/Scheduler.h"
#include "pipeline/Script.h"
#include "pipeline/StableDiffusionPipelineProtocol.h"
#include "pipeline/TextEncoder.h"
#include "pipeline/Unet.h"
#include "runtime/ModelConfiguration.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// Text-to-image (and image-to-image) generation with a Stable Diffusion 1.x/2.x
// model directory: prompt encoding, seeded noise, the denoising loop with
// classifier-free guidance, decoding and the optional safety check.
//
// A value: copies share the loaded models.
class StableDiffusionPipeline : public StableDiffusionPipelineProtocol {
public:
    // Where each file of a model directory lives (whether or not it exists).
    struct ResourceURLs {
        explicit ResourceURLs(const std::filesystem::path& resources);

        std::filesystem::path textEncoderURL;
        std::filesystem::path unetURL;
        std::filesystem::path unetChunk1URL;
        std::filesystem::path unetChunk2URL;
        std::filesystem::path decoderURL;
        std::filesystem::path previewDecoderURL;
        std::filesystem::path encoderURL;
        std::filesystem::path safetyCheckerURL;
        std::filesystem::path vocabURL;
        std::filesystem::path mergesURL;
        std::filesystem::path controlNetDirURL;
        std::filesystem::path controlledUnetURL;
        std::filesystem::path controlledUnetChunk1URL;
        std::filesystem::path controlledUnetChunk2URL;
        std::filesystem::path multilingualTextEncoderProjectionURL;
    };

    // Finds the models in a resource directory; reads the tokenizer files but
    // loads no model. Throws the tokenizer's errors.
    StableDiffusionPipeline(const std::filesystem::path& resources,
                            const std::vector<std::string>& controlNet,
                            const ModelConfiguration& configuration, bool disableSafety,
                            bool reduceMemory, bool useMultilingualTextEncoder = false,
                            std::optional<Script> script = std::nullopt);

    // From resources found elsewhere (a single-file checkpoint's networks
    // with tokenizer files beside another model, say).
    StableDiffusionPipeline(const ResourceURLs& urls, const std::vector<std::string>& controlNet,
                            const ModelConfiguration& configuration, bool disableSafety,
                            bool reduceMemory, bool useMultilingualTextEncoder = false,
                            std::optional<Script> script = std::nullopt);

    // From parts already built.
    StableDiffusionPipeline(std::shared_ptr<TextEncoderModel> textEncoder, Unet unet,
                            Decoder decoder, std::optional<Encoder> encoder,
                            std::optional<ControlNet> controlNet,
                            std::optional<SafetyChecker> safetyChecker, bool reduceMemory,
                            bool useMultilingualTextEncoder = false,
                            std::optional<Script> script = std::nullopt);

    bool canSafetyCheck() const override { return safetyChecker.has_value(); }

    // With reduceMemory only prewarms, keeping nothing loaded; with
    // releaseTextEncoders leaves the text encoder to the first prompt.
    void loadResources() override;
    void prewarmResources() override;
    void unloadResources() noexcept override;
    std::vector<std::string> loadedModels() const override;

    // `imageCount` images, each absent where the safety checker rejected it,
    // or an empty list when the progress handler stopped the run. Throws
    // std::invalid_argument for an imageCount below 1.
    GeneratedImages generateImages(const PipelineConfiguration& configuration,
                                   const ProgressHandler& progressHandler) override;
    // The same run up to the denoised latents (scaled, not yet decoded), one
    // per image, or nothing when the progress handler stopped it.
    std::optional<std::vector<ShapedArray>>
    generateLatents(const PipelineConfiguration& configuration,
                    const ProgressHandler& progressHandler);

    // The negative prompt's and the prompt's encodings, [2, S·k, C], read as
    // the configuration's prompt syntax and clip skip say, both with as many
    // chunks (the shorter gets empty ones). Throws std::invalid_argument for
    // a clip skip below 1.
    ShapedArray encodePrompts(const PipelineConfiguration& configuration);

    // The initial latents, one per image, from one random source.
    std::vector<ShapedArray> generateLatentSamples(const PipelineConfiguration& configuration,
                                                   const Scheduler& scheduler);
    // The same from a source the caller goes on drawing from.
    std::vector<ShapedArray> generateLatentSamples(const PipelineConfiguration& configuration,
                                                   const Scheduler& scheduler,
                                                   RandomSource& random);

    GeneratedImages decodeToImages(std::span<const ShapedArray> latents,
                                   const PipelineConfiguration& configuration) override;
    // Through previewDecoder, then the safety checker when it is on.
    GeneratedImages decodeToPreviewImages(std::span<const ShapedArray> latents,
                                          const PipelineConfiguration& configuration) override;

    std::shared_ptr<TextEncoderModel> textEncoder;
    Unet unet;
    Decoder decoder;
    // The model directory's PreviewDecoder.model when it has one; from parts,
    // the projection only.
    PreviewDecoder previewDecoder;
    std::optional<Encoder> encoder;
    std::optional<SafetyChecker> safetyChecker;
    std::optional<ControlNet> controlNet;
    bool reduceMemory = false;
    // Unload the text encoder as soon as the prompts are encoded, even where
    // the other networks stay loaded: it is loaded again only for prompts
    // promptEncodings does not hold.
    bool releaseTextEncoders = false;
    // The encodings of the last prompts; copies of the pipeline share them.
    std::shared_ptr<PromptEncodingMemo> promptEncodings = std::make_shared<PromptEncodingMemo>();
    bool useMultilingualTextEncoder = false;
    std::optional<Script> script;
    // Textual-inversion words prompts may use; none when null.
    std::shared_ptr<const EmbeddingLibrary> embeddings;

private:
    // encodePrompts, or the encodings kept from a run with the same prompts.
    ShapedArray encodedPrompts(const PipelineConfiguration& configuration);
    // Absent where the safety checker (when on) rejects the image.
    GeneratedImages checkedForSafety(GeneratedImages images,
                                     const PipelineConfiguration& configuration);

};

// The scheduler a configuration asks for, with the pipelines' training
// schedule (1000 steps, scaled-linear betas 0.00085 to 0.012).
std::unique_ptr<Scheduler> makeScheduler(const PipelineConfiguration& configuration);

} // namespace dravelin
