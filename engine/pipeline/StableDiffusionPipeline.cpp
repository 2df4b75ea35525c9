#include "pipeline/StableDiffusionPipeline.h"

#include "pipeline/DenoisingCallbacks.h"
#include "pipeline/DenoisingLoop.h"
#include "pipeline/ImageConversion.h"
#include "pipeline/PipelineError.h"
#include "random/RandomSource.h"
#include "pipeline/SchedulerTable.h"
#include "pipeline/StartingLatents.h"
#include "runtime/RuntimeErrors.h"

#include <stdexcept>

namespace dravelin {

std::unique_ptr<Scheduler> makeScheduler(const PipelineConfiguration& c) {
    const SchedulerEntry& entry = schedulerEntry(c.schedulerType);
    // A scheduler with a spacing of its own ignores the setting.
    if (entry.spacings.size() > 1 && !entry.takes(c.schedulerTimestepSpacing)) {
        std::string taken;
        for (TimeStepSpacing spacing : entry.spacings) {
            taken += (taken.empty() ? "" : ", ") + std::string(spacingName(spacing));
        }
        throw std::invalid_argument("The " + std::string(entry.commandLineName) +
                                    " scheduler takes the spacings " + taken + ", not " +
                                    std::string(spacingName(c.schedulerTimestepSpacing)) + ".");
    }
    return entry.make(c);
}

namespace {

std::string bundleName(const ManagedMLModel& model) {
    const std::filesystem::path& url = model.modelURL();
    return (url.has_filename() ? url.filename() : url.parent_path().filename()).string();
}

// Everything a run needs after the denoising loop is checked before it, so a
// missing or mismatched bundle costs seconds, not every step: each bundle
// loads or at least describes itself with its weights in place, and the
// decoder takes the latents the denoising network makes.
void checkModelsBeforeDenoising(const Unet& unet, const Decoder& decoder,
                                const std::optional<Encoder>& encoder,
                                const std::optional<ControlNet>& controlNet,
                                const PipelineConfiguration& c) {
    if (unet.models().empty()) {
        throw PredictionError("The denoising network has no model.");
    }
    Shape latent;
    for (size_t i = 0; i < unet.models().size(); ++i) {
        const ModelDescription description = unet.models()[i]->description();
        if (i == 0) {
            const std::optional<FeatureDescription> sample = description.input("sample");
            if (!sample || sample->shape.empty()) {
                throw PredictionError("The denoising network has no input \"sample\".");
            }
            latent = latentShapeFor(sample->shape);
        }
    }
    const ModelDescription decoding = decoder.model()->description();
    if (decoding.inputs.empty()) {
        throw PredictionError("The decoder model has no input.");
    }
    // Latents larger than the decoder's input go through a decoder built for them.
    const Shape& decoded = decoding.inputs.front().shape;
    const bool tiles = decoded.size() == 4 && latent.size() == 4 && decoded[0] == latent[0] &&
                       decoded[1] == latent[1] && decoded[2] <= latent[2] &&
                       decoded[3] <= latent[3];
    if (decoded != latent && !tiles) {
        throw ModelLoadError("The decoder \"" + bundleName(*decoder.model()) +
                             "\" takes latents shaped " + describe(decoding.inputs.front().shape) +
                             ", but the denoising network makes " + describe(latent) +
                             "; they do not belong to the same model.");
    }
    if (encoder && c.mode() != PipelineMode::textToImage) {
        encoder->model()->description();
    }
    if (controlNet) {
        for (const std::shared_ptr<ManagedMLModel>& model : controlNet->models()) {
            model->description();
        }
    }
}

} // namespace

GeneratedImages StableDiffusionPipeline::generateImages(const PipelineConfiguration& c,
                                                        const ProgressHandler& progressHandler) {
    const std::optional<std::vector<ShapedArray>> denoised = generateLatents(c, progressHandler);
    if (!denoised) {
        return {};
    }
    return decodeToImages(*denoised, c);
}

std::optional<std::vector<ShapedArray>>
StableDiffusionPipeline::generateLatents(const PipelineConfiguration& c,
                                         const ProgressHandler& progressHandler) {
    if (c.imageCount < 1) {
        throw std::invalid_argument("At least one image must be asked for, not " +
                                    std::to_string(c.imageCount) + ".");
    }
    // Schedulers first: a step count they refuse fails before any model runs.
    std::vector<std::unique_ptr<Scheduler>> schedulers;
    for (int64_t i = 0; i < c.imageCount; ++i) {
        schedulers.push_back(makeScheduler(c));
    }
    checkModelsBeforeDenoising(unet, decoder, encoder, controlNet, c);

    ShapedArray joined = encodedPrompts(c);
    if (reduceMemory || releaseTextEncoders) {
        textEncoder->unloadResources();
    }
    // Guidance batches are [negative prompt, prompt]. At scale 1 guidance
    // gives the prompt's prediction, so the network runs on that half alone
    // (half the work) where it takes such a batch.
    const bool promptOnly = c.guidanceScale == 1.0f && !controlNet && unet.takesSingleImageBatch();
    if (promptOnly) {
        Shape one = joined.shape();
        one[0] = 1;
        const int64_t half = joined.count() / 2;
        joined = ShapedArray(std::vector<float>(joined.data() + half, joined.data() + 2 * half),
                             one);
    }
    const ShapedArray hiddenStates =
        useMultilingualTextEncoder ? std::move(joined) : toHiddenStates(joined);

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

    std::vector<ShapedArray> controlNetConditioning;
    for (const Image& image : c.controlNetInputs) {
        const ShapedArray x = planarRGBShapedArray(image, 0.0f, 1.0f);
        const std::vector<ShapedArray> pair{x, x};
        controlNetConditioning.push_back(ShapedArray::concatenate(pair, 0));
    }

    const NoisePredictor predict = [&](const std::vector<ShapedArray>& scaled, float t, size_t,
                                       size_t) {
        std::vector<ShapedArray> inputs;
        std::vector<ShapedArray> networkInputs;
        inputs.reserve(scaled.size());
        networkInputs.reserve(scaled.size());
        for (const ShapedArray& latent : scaled) {
            inputs.push_back(promptOnly ? latent
                                        : ShapedArray::concatenate(std::vector{latent, latent}, 0));
            networkInputs.push_back(inpainting ? inpainting->networkInput(inputs.back())
                                               : inputs.back());
        }
        std::optional<std::vector<Residuals>> residuals;
        if (controlNet) {
            residuals = controlNet->execute(inputs, t, hiddenStates, controlNetConditioning);
        }
        std::vector<ShapedArray> noise =
            unet.predictNoise(networkInputs, t, hiddenStates, residuals);
        return promptOnly ? noise : performGuidance(noise, c.guidanceScale);
    };
    // Progress reports carry a copy of this pipeline, made once per run.
    const DenoisingCallbacks callbacks =
        denoisingCallbacks(std::make_shared<StableDiffusionPipeline>(*this), c, progressHandler,
                           inpainting, *schedulers.front());
    std::optional<std::vector<ShapedArray>> denoised =
        denoise(schedulers, std::move(latents), strength, *random, predict,
                callbacks.observe, callbacks.blend);
    if (!denoised) {
        return std::nullopt;
    }

    if (reduceMemory) {
        if (controlNet) {
            controlNet->unloadResources();
        }
        unet.unloadResources();
    }
    return denoised;
}

ShapedArray StableDiffusionPipeline::encodePrompts(const PipelineConfiguration& c) {
    if (c.clipSkip < 1) {
        throw std::invalid_argument("Clip skip counts hidden states from the end, from 1; " +
                                    std::to_string(c.clipSkip) + " is none of them.");
    }
    const PromptReading reading{c.promptSyntax, c.clipSkip, embeddings};
    ShapedArray prompt = textEncoder->encode(c.prompt, reading);
    ShapedArray negative = textEncoder->encode(c.negativePrompt, reading);
    if (prompt.shape() != negative.shape()) {
        matchChunkCounts(prompt, negative, textEncoder->encode("", reading));
    }
    return ShapedArray::concatenate(std::vector<ShapedArray>{negative, prompt}, 0);
}

ShapedArray StableDiffusionPipeline::encodedPrompts(const PipelineConfiguration& c) {
    PromptEncodingKey key{c.prompt, c.negativePrompt, c.promptSyntax, c.clipSkip, embeddings,
                          {textEncoder}};
    if (std::optional<std::vector<ShapedArray>> kept = promptEncodings->find(key)) {
        return std::move(kept->front());
    }
    ShapedArray encoded = encodePrompts(c);
    promptEncodings->keep(std::move(key), {encoded});
    return encoded;
}

std::vector<ShapedArray>
StableDiffusionPipeline::generateLatentSamples(const PipelineConfiguration& c,
                                               const Scheduler& scheduler) {
    const std::unique_ptr<RandomSource> random = makeRandomSource(c.rngType, c.seed);
    return generateLatentSamples(c, scheduler, *random);
}

std::vector<ShapedArray>
StableDiffusionPipeline::generateLatentSamples(const PipelineConfiguration& c,
                                               const Scheduler& scheduler, RandomSource& random) {
    return startingLatents(c, scheduler, unet.latentSampleShape(), encoder ? &*encoder : nullptr,
                           random)
        .latents;
}

GeneratedImages StableDiffusionPipeline::decodeToImages(std::span<const ShapedArray> latents,
                                                        const PipelineConfiguration& c) {
    std::vector<Image> decoded = decoder.decode(latents, c.decoderScaleFactor);
    if (reduceMemory) {
        decoder.unloadResources();
    }
    return checkedForSafety(GeneratedImages(decoded.begin(), decoded.end()), c);
}

GeneratedImages StableDiffusionPipeline::decodeToPreviewImages(std::span<const ShapedArray> latents,
                                                               const PipelineConfiguration& c) {
    // A preview must not show what the final image would be withheld for.
    std::vector<Image> decoded = previewDecoder.decode(latents);
    return checkedForSafety(GeneratedImages(decoded.begin(), decoded.end()), c);
}

GeneratedImages StableDiffusionPipeline::checkedForSafety(GeneratedImages images,
                                                          const PipelineConfiguration& c) {
    if (c.disableSafety || !safetyChecker) {
        return images;
    }
    for (std::optional<Image>& image : images) {
        if (!safetyChecker->isSafe(*image)) {
            image.reset();
        }
    }
    if (reduceMemory) {
        safetyChecker->unloadResources();
    }
    return images;
}

} // namespace dravelin
