#include "pipeline/StableDiffusionXLPipeline.h"

#include "pipeline/DenoisingCallbacks.h"
#include "pipeline/DenoisingLoop.h"
#include "pipeline/PipelineError.h"
#include "random/RandomSource.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "pipeline/StartingLatents.h"
#include "runtime/BundleDescription.h"
#include "runtime/RuntimeErrors.h"

#include <cmath>
#include <stdexcept>

namespace dravelin {

namespace {

// Far beyond any step count a scheduler takes, small enough that the refiner
// start step is an exact whole number.
constexpr float kLargestRefinerStart = 1.0e6f;

ShapedArray geometryRow(const PipelineConfiguration& c, float last) {
    const float width = c.originalWidth.value_or(c.originalSize);
    return ShapedArray(
        {c.originalSize, width, c.cropsCoordsTopLeft, c.cropsCoordsTopLeft, last}, Shape{1, 5});
}

} // namespace

ShapedArray baseGeometryConditioning(const PipelineConfiguration& c, bool oneDimensional) {
    // Heights first, as (height, width) pairs.
    const std::vector<float> row{c.originalSize,
                                 c.originalWidth.value_or(c.originalSize),
                                 c.cropsCoordsTopLeft,
                                 c.cropsCoordsTopLeft,
                                 c.targetSize,
                                 c.targetWidth.value_or(c.targetSize)};
    const ShapedArray one(row, oneDimensional ? Shape{6} : Shape{1, 6});
    return ShapedArray::concatenate(std::vector<ShapedArray>{one, one}, 0);
}

ShapedArray refinerGeometryConditioning(const PipelineConfiguration& c) {
    return ShapedArray::concatenate(
        std::vector<ShapedArray>{geometryRow(c, c.negativeAestheticScore),
                                 geometryRow(c, c.aestheticScore)},
        0);
}

Shape StableDiffusionXLPipeline::baseTimeIdShape() const {
    // A network not loaded is described from its bundle: loading it here
    // would hold it beside the text encoders.
    if (unet.models().empty() || unet.models().front()->isLoaded()) {
        return unet.latentTimeIdShape();
    }
    const std::optional<FeatureDescription> input =
        describeBundle(unet.models().front()->modelURL()).input("time_ids");
    if (!input) {
        throw PredictionError("The denoising network has no input \"time_ids\".");
    }
    return input->shape;
}

TextEncodings StableDiffusionXLPipeline::encodePrompt(const std::string& prompt, bool forRefiner) {
    return encodePrompt(prompt, forRefiner, PromptReading{});
}

TextEncodings StableDiffusionXLPipeline::encodePrompt(const std::string& prompt, bool forRefiner,
                                                      const PromptReading& reading) {
    if (forRefiner) {
        return textEncoder2->encode(prompt, reading);
    }
    if (!textEncoder) {
        throw PipelineError(PipelineError::Case::startingText2ImgWithoutTextEncoder);
    }
    TextEncodings first = textEncoder->encode(prompt, reading);
    TextEncodings second = textEncoder2->encode(prompt, reading);
    // An embedding only one encoder can take leaves the other with fewer
    // chunks; it gets empty ones of its own.
    const auto positions = [](const TextEncodings& e) {
        return e.hiddenEmbeddings.rank() == 3 ? e.hiddenEmbeddings.shape()[1] : 0;
    };
    if (positions(first) < positions(second)) {
        matchChunkCounts(first.hiddenEmbeddings, second.hiddenEmbeddings,
                         textEncoder->encode("", reading).hiddenEmbeddings);
    } else if (positions(second) < positions(first)) {
        matchChunkCounts(first.hiddenEmbeddings, second.hiddenEmbeddings,
                         textEncoder2->encode("", reading).hiddenEmbeddings);
    }
    const std::vector<ShapedArray> both{first.hiddenEmbeddings, second.hiddenEmbeddings};
    return {ShapedArray::concatenate(both, 2), std::move(second.pooledOutputs)};
}

StableDiffusionXLPipeline::ModelInputs
StableDiffusionXLPipeline::generateConditioning(const PipelineConfiguration& c, bool forRefiner) {
    return generateConditioning(c, forRefiner, forRefiner ? Shape{} : baseTimeIdShape());
}

StableDiffusionXLPipeline::ModelInputs
StableDiffusionXLPipeline::generateConditioning(const PipelineConfiguration& c, bool forRefiner,
                                                const Shape& timeIdShape) {
    ShapedArray geometry = forRefiner ? refinerGeometryConditioning(c)
                                      : baseGeometryConditioning(c, timeIdShape.size() <= 1);
    PromptEncodingKey key{c.prompt,  c.negativePrompt, c.promptSyntax, 1, embeddings,
                          {textEncoder, textEncoder2}, forRefiner ? 1 : 0};
    if (std::optional<std::vector<ShapedArray>> kept = promptEncodings->find(key)) {
        return {std::move((*kept)[0]), std::move((*kept)[1]), std::move(geometry)};
    }
    const PromptReading reading{c.promptSyntax, 1, embeddings};
    TextEncodings prompt = encodePrompt(c.prompt, forRefiner, reading);
    TextEncodings negative = encodePrompt(c.negativePrompt, forRefiner, reading);
    if (prompt.hiddenEmbeddings.shape() != negative.hiddenEmbeddings.shape()) {
        matchChunkCounts(prompt.hiddenEmbeddings, negative.hiddenEmbeddings,
                         encodePrompt("", forRefiner, reading).hiddenEmbeddings);
    }
    // Guidance batches are [negative prompt, prompt].
    const std::vector<ShapedArray> hidden{negative.hiddenEmbeddings, prompt.hiddenEmbeddings};
    const std::vector<ShapedArray> pooled{negative.pooledOutputs, prompt.pooledOutputs};
    ModelInputs inputs{toHiddenStates(ShapedArray::concatenate(hidden, 0)),
                       ShapedArray::concatenate(pooled, 0), std::move(geometry)};
    promptEncodings->keep(std::move(key), {inputs.hiddenStates, inputs.pooledStates});
    return inputs;
}

GeneratedImages StableDiffusionXLPipeline::generateImages(const PipelineConfiguration& c,
                                                          const ProgressHandler& progressHandler) {
    if (c.imageCount < 1) {
        throw std::invalid_argument("At least one image must be asked for, not " +
                                    std::to_string(c.imageCount) + ".");
    }
    if (!(std::fabs(c.refinerStart) <= kLargestRefinerStart)) {
        throw std::invalid_argument("The refiner start must be a fraction of the steps such as "
                                    "0.8, not " +
                                    std::to_string(c.refinerStart) + ".");
    }
    const Shape timeIds = baseTimeIdShape();
    const bool baseIsRefiner = !timeIds.empty() && timeIds.back() == 5;

    std::optional<ModelInputs> baseConditioning;
    if (textEncoder) {
        baseConditioning = generateConditioning(c, baseIsRefiner, timeIds);
    }
    std::optional<ModelInputs> refinerConditioning;
    if (unetRefiner || baseIsRefiner) {
        refinerConditioning = generateConditioning(c, true, timeIds);
    }
    if (reduceMemory || releaseTextEncoders) {
        if (textEncoder) {
            textEncoder->unloadResources();
        }
        textEncoder2->unloadResources();
    }

    std::vector<std::unique_ptr<Scheduler>> schedulers;
    for (int64_t i = 0; i < c.imageCount; ++i) {
        schedulers.push_back(makeScheduler(c));
    }

    // One random source serves the starting noise, the image encoder's
    // samples and any noise the schedulers add between steps.
    const std::unique_ptr<RandomSource> random = makeRandomSource(c.rngType, c.seed);
    StartingLatents start = startingLatents(c, *schedulers.front(), unet.latentSampleShape(),
                                            encoder ? &*encoder : nullptr, *random);
    std::vector<ShapedArray> latents = std::move(start.latents);
    const std::optional<InpaintingBlend>& inpainting = start.inpainting;
    if (reduceMemory && encoder) {
        encoder->unloadResources();
    }

    const std::optional<float> strength =
        c.mode() != PipelineMode::textToImage ? std::optional<float>(c.strength) : std::nullopt;

    std::optional<ModelInputs>* conditioning =
        baseConditioning ? &baseConditioning : &refinerConditioning;
    Unet* network = &unet;
    // The refiner takes over at this fraction of the run's evaluations.
    const NoisePredictor predict = [&](const std::vector<ShapedArray>& scaled, float t,
                                       size_t index, size_t count) {
        const auto refinerStartStep = static_cast<int64_t>(static_cast<double>(c.refinerStart) *
                                                           static_cast<double>(count));
        if (unetRefiner && static_cast<int64_t>(index) == refinerStartStep) {
            unet.unloadResources();
            network = &*unetRefiner;
            conditioning = &refinerConditioning;
        }
        if (!conditioning->has_value()) {
            throw PipelineError(PipelineError::Case::missingUnetInputs);
        }
        std::vector<ShapedArray> inputs;
        inputs.reserve(scaled.size());
        for (const ShapedArray& latent : scaled) {
            inputs.push_back(ShapedArray::concatenate(std::vector{latent, latent}, 0));
            if (inpainting) {
                inputs.back() = inpainting->networkInput(inputs.back());
            }
        }
        const ModelInputs& current = **conditioning;
        return performGuidance(network->predictNoise(inputs, t, current.hiddenStates,
                                                     current.pooledStates,
                                                     current.geometryConditioning),
                               c.guidanceScale);
    };
    // Progress reports carry a copy of this pipeline, made once per run.
    const DenoisingCallbacks callbacks =
        denoisingCallbacks(std::make_shared<StableDiffusionXLPipeline>(*this), c, progressHandler, inpainting,
                           *schedulers.front());
    const std::optional<std::vector<ShapedArray>> denoised =
        denoise(schedulers, std::move(latents), strength, *random, predict,
                callbacks.observe, callbacks.blend);
    if (!denoised) {
        return {};
    }

    if (reduceMemory) {
        unet.unloadResources();
    }
    if (unetRefiner) {
        unetRefiner->unloadResources();
    }
    return decodeToImages(*denoised, c);
}

std::vector<ShapedArray>
StableDiffusionXLPipeline::generateLatentSamples(const PipelineConfiguration& c,
                                                 const Scheduler& scheduler) {
    const std::unique_ptr<RandomSource> random = makeRandomSource(c.rngType, c.seed);
    return generateLatentSamples(c, scheduler, *random);
}

std::vector<ShapedArray>
StableDiffusionXLPipeline::generateLatentSamples(const PipelineConfiguration& c,
                                                 const Scheduler& scheduler, RandomSource& random) {
    return startingLatents(c, scheduler, unet.latentSampleShape(), encoder ? &*encoder : nullptr,
                           random)
        .latents;
}

GeneratedImages StableDiffusionXLPipeline::decodeToImages(std::span<const ShapedArray> latents,
                                                          const PipelineConfiguration& c) {
    std::vector<Image> decoded;
    try {
        decoded = decoder.decode(latents, c.decoderScaleFactor);
    } catch (...) {
        if (reduceMemory) {
            decoder.unloadResources();
        }
        throw;
    }
    if (reduceMemory) {
        decoder.unloadResources();
    }
    return GeneratedImages(decoded.begin(), decoded.end());
}

GeneratedImages StableDiffusionXLPipeline::decodeToPreviewImages(std::span<const ShapedArray> latents,
                                                                 const PipelineConfiguration&) {
    std::vector<Image> decoded = previewDecoder.decode(latents);
    return GeneratedImages(decoded.begin(), decoded.end());
}

} // namespace dravelin
