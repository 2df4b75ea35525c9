#include "pipeline/StableDiffusionPipeline.h"

#include "pipeline/DenoisingLoop.h"
#include "pipeline/ImageConversion.h"
#include "pipeline/PipelineError.h"
#include "random/RandomSource.h"
#include "pipeline/SchedulerTable.h"
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
            latent = sample->shape;
            latent[0] = 1;
        }
    }
    const ModelDescription decoding = decoder.model()->description();
    if (decoding.inputs.empty()) {
        throw PredictionError("The decoder model has no input.");
    }
    if (decoding.inputs.front().shape != latent) {
        throw ModelLoadError("The decoder \"" + bundleName(*decoder.model()) +
                             "\" takes latents shaped " + describe(decoding.inputs.front().shape) +
                             ", but the denoising network makes " + describe(latent) +
                             "; they do not belong to the same model.");
    }
    if (encoder && c.mode() == PipelineMode::imageToImage) {
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

    const ShapedArray promptEmbedding = textEncoder->encode(c.prompt);
    const ShapedArray negativeEmbedding = textEncoder->encode(c.negativePrompt);
    if (reduceMemory) {
        textEncoder->unloadResources();
    }
    // Guidance batches are [negative prompt, prompt]. At scale 1 guidance
    // gives the prompt's prediction, so the network runs on that half alone
    // (half the work) where it takes such a batch.
    const bool promptOnly = c.guidanceScale == 1.0f && !controlNet && unet.takesSingleImageBatch();
    std::vector<ShapedArray> embeddings{negativeEmbedding, promptEmbedding};
    if (promptOnly) {
        embeddings.erase(embeddings.begin());
    }
    ShapedArray joined = ShapedArray::concatenate(embeddings, 0);
    const ShapedArray hiddenStates =
        useMultilingualTextEncoder ? std::move(joined) : toHiddenStates(joined);

    // One random source serves the starting noise and any noise the
    // schedulers add between steps.
    const std::unique_ptr<RandomSource> random = makeRandomSource(c.rngType, c.seed);
    std::vector<ShapedArray> latents = generateLatentSamples(c, *schedulers.front(), *random);
    if (reduceMemory && encoder) {
        encoder->unloadResources();
    }

    const std::optional<float> strength =
        c.mode() == PipelineMode::imageToImage ? std::optional<float>(c.strength) : std::nullopt;

    std::vector<ShapedArray> controlNetConditioning;
    for (const Image& image : c.controlNetInputs) {
        const ShapedArray x = planarRGBShapedArray(image, 0.0f, 1.0f);
        const std::vector<ShapedArray> pair{x, x};
        controlNetConditioning.push_back(ShapedArray::concatenate(pair, 0));
    }

    const NoisePredictor predict = [&](const std::vector<ShapedArray>& scaled, float t, size_t,
                                       size_t) {
        std::vector<ShapedArray> inputs;
        inputs.reserve(scaled.size());
        for (const ShapedArray& latent : scaled) {
            inputs.push_back(promptOnly ? latent
                                        : ShapedArray::concatenate(std::vector{latent, latent}, 0));
        }
        std::optional<std::vector<Residuals>> residuals;
        if (controlNet) {
            residuals = controlNet->execute(inputs, t, hiddenStates, controlNetConditioning);
        }
        std::vector<ShapedArray> noise = unet.predictNoise(inputs, t, hiddenStates, residuals);
        return promptOnly ? noise : performGuidance(noise, c.guidanceScale);
    };
    // Progress reports carry a copy of this pipeline, made once per run.
    const auto self = std::make_shared<StableDiffusionPipeline>(*this);
    const StepObserver observe = [&](int64_t step, int64_t stepCount,
                                     const std::vector<ShapedArray>& latest,
                                     const std::vector<ShapedArray>& denoised) {
        return progressHandler(PipelineProgress{
            self, c.prompt, step, stepCount, c.useDenoisedIntermediates ? denoised : latest, c});
    };
    const std::optional<std::vector<ShapedArray>> denoised =
        denoise(schedulers, std::move(latents), strength, *random, predict, observe);
    if (!denoised) {
        return {};
    }

    if (reduceMemory) {
        if (controlNet) {
            controlNet->unloadResources();
        }
        unet.unloadResources();
    }
    return decodeToImages(*denoised, c);
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
    Shape shape = unet.latentSampleShape();
    if (shape.empty()) {
        throw std::invalid_argument("The denoising network's \"sample\" input has no shape.");
    }
    shape[0] = 1;
    // Image-to-image noises the image with standard-normal noise; text-to-
    // image starts from noise of the scheduler's starting level.
    const double sigma =
        c.mode() == PipelineMode::imageToImage ? 1.0 : scheduler.initNoiseSigma();
    std::vector<ShapedArray> noise;
    for (int64_t i = 0; i < c.imageCount; ++i) {
        const NormalArray drawn = random.normalShapedArray(shape, 0.0, sigma);
        noise.push_back(ShapedArray::fromDoubles(drawn.values, shape));
    }
    if (c.mode() != PipelineMode::imageToImage) {
        return noise;
    }
    if (!encoder) {
        throw PipelineError(PipelineError::Case::startingImageProvidedWithoutEncoder);
    }
    const ShapedArray latent = encoder->encode(*c.startingImage, c.encoderScaleFactor, random);
    return scheduler.addNoise(latent, noise, c.strength);
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
