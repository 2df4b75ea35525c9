#pragma once

#include "pipeline/Decoder.h"
#include "pipeline/Encoder.h"
#include "pipeline/PipelineProgress.h"
#include "pipeline/PreviewDecoder.h"
#include "pipeline/PromptEncodingMemo.h"
#include "random/RandomSource.h"
#include "schedulers/Scheduler.h"
#include "pipeline/StableDiffusionPipelineProtocol.h"
#include "pipeline/TextEncoderXL.h"
#include "pipeline/Unet.h"
#include "runtime/ModelConfiguration.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dravelin {

// Generation with an SDXL model directory: two text encoders whose hidden
// states are joined, a denoising network that also takes the pooled prompt
// embedding and the image geometry, an optional refiner network that takes
// over for the last part of the schedule, and the decoder (plus the encoder
// for image-to-image). No safety checker and no ControlNet.
//
// A value: copies share the loaded models.
class StableDiffusionXLPipeline : public StableDiffusionPipelineProtocol {
public:
    // Where each bundle of an XL model directory lives (whether or not it
    // exists).
    struct ResourceURLs {
        explicit ResourceURLs(const std::filesystem::path& resources);

        std::filesystem::path textEncoderURL;
        std::filesystem::path textEncoder2URL;
        std::filesystem::path unetURL;
        std::filesystem::path unetChunk1URL;
        std::filesystem::path unetChunk2URL;
        std::filesystem::path unetRefinerURL;
        std::filesystem::path unetRefinerChunk1URL;
        std::filesystem::path unetRefinerChunk2URL;
        std::filesystem::path decoderURL;
        std::filesystem::path previewDecoderURL;
        std::filesystem::path encoderURL;
        std::filesystem::path vocabURL;
        std::filesystem::path mergesURL;
    };

    // The conditioning of one denoising network; each member holds the
    // negative prompt's row first and the prompt's second.
    struct ModelInputs {
        ShapedArray hiddenStates;         // laid out by toHiddenStates
        ShapedArray pooledStates;         // [2, D]
        ShapedArray geometryConditioning; // the "time_ids" rows
    };

    // Finds the models in a resource directory; reads the tokenizer files (and
    // throws their errors) but loads no model.
    StableDiffusionXLPipeline(const std::filesystem::path& resources,
                              const ModelConfiguration& configuration, bool reduceMemory);

    // From resources found elsewhere (a single-file checkpoint's networks,
    // say).
    StableDiffusionXLPipeline(const ResourceURLs& urls, const ModelConfiguration& configuration,
                              bool reduceMemory);

    // From parts already built.
    StableDiffusionXLPipeline(std::shared_ptr<TextEncoderXLModel> textEncoder,
                              std::shared_ptr<TextEncoderXLModel> textEncoder2, Unet unet,
                              std::optional<Unet> unetRefiner, Decoder decoder,
                              std::optional<Encoder> encoder, bool reduceMemory);

    bool canSafetyCheck() const override { return false; }

    // With reduceMemory only prewarms. The first text encoder, the refiner and
    // the encoder are optional: their failures are printed, not thrown. With
    // releaseTextEncoders the text encoders are left to the first prompt.
    void loadResources() override;
    void prewarmResources() override;
    void unloadResources() noexcept override;
    std::vector<std::string> loadedModels() const override;

    // `imageCount` images, or an empty list when the progress handler stopped
    // the run. Throws std::invalid_argument for an imageCount below 1 or a
    // refinerStart that is not a finite number of reasonable size.
    GeneratedImages generateImages(const PipelineConfiguration& configuration,
                                   const ProgressHandler& progressHandler) override;

    GeneratedImages decodeToImages(std::span<const ShapedArray> latents,
                                   const PipelineConfiguration& configuration) override;
    // Through previewDecoder: never the full decoder, whose 1024 × 1024 run
    // costs as much as several steps.
    GeneratedImages decodeToPreviewImages(std::span<const ShapedArray> latents,
                                          const PipelineConfiguration& configuration) override;

    // The initial latents, one per image, from one random source.
    std::vector<ShapedArray> generateLatentSamples(const PipelineConfiguration& configuration,
                                                   const Scheduler& scheduler);
    // The same from a source the caller goes on drawing from.
    std::vector<ShapedArray> generateLatentSamples(const PipelineConfiguration& configuration,
                                                   const Scheduler& scheduler,
                                                   RandomSource& random);

    // The base network's hidden states are the first encoder's channels
    // followed by the second's, and its pooled embedding the second's; the
    // refiner takes the second encoder's alone.
    TextEncodings encodePrompt(const std::string& prompt, bool forRefiner);
    // The same with the prompt conventions `reading` asks for; both encoders
    // give as many chunks (the one with fewer gets empty ones).
    TextEncodings encodePrompt(const std::string& prompt, bool forRefiner,
                               const PromptReading& reading);
    // The prompt and the negative prompt brought to the same number of chunks;
    // the text encodings come from promptEncodings when it holds them.
    ModelInputs generateConditioning(const PipelineConfiguration& configuration, bool forRefiner);

    std::shared_ptr<TextEncoderXLModel> textEncoder; // may be null
    std::shared_ptr<TextEncoderXLModel> textEncoder2;
    Unet unet;
    std::optional<Unet> unetRefiner;
    Decoder decoder;
    // The model directory's PreviewDecoder.model (TAESDXL) when it has one,
    // else the projection for XL latents; callers may put another in.
    PreviewDecoder previewDecoder{LatentSpace::sdxl};
    std::optional<Encoder> encoder;
    bool reduceMemory = false;
    // Unload both text encoders as soon as the prompts are encoded, even
    // where the other networks stay loaded (together they are a quarter of
    // the model): they are loaded again only for prompts promptEncodings does
    // not hold.
    bool releaseTextEncoders = false;
    // The encodings of the last prompts; copies of the pipeline share them.
    std::shared_ptr<PromptEncodingMemo> promptEncodings = std::make_shared<PromptEncodingMemo>();
    // Textual-inversion words prompts may use; none when null.
    std::shared_ptr<const EmbeddingLibrary> embeddings;

private:
    // The base network's "time_ids" shape, without loading it.
    Shape baseTimeIdShape() const;
    // With the base network's "time_ids" shape already known.
    ModelInputs generateConditioning(const PipelineConfiguration& configuration, bool forRefiner,
                                     const Shape& timeIdShape);

};

// The "time_ids" rows: for the base network the same row of original size,
// crop corner and target size twice ([2, 6], or [12] for a one-dimensional
// input); for the refiner original size, crop corner and the aesthetic score,
// the negative score's row first ([2, 5]).
ShapedArray baseGeometryConditioning(const PipelineConfiguration& configuration,
                                     bool oneDimensional);
ShapedArray refinerGeometryConditioning(const PipelineConfiguration& configuration);

} // namespace dravelin
