#include "pipeline/StableDiffusionPipeline.h"

#include "pipeline/DPMSolverMultistepScheduler.h"
#include "pipeline/ImageConversion.h"
#include "pipeline/PNDMScheduler.h"
#include "pipeline/PipelineError.h"
#include "pipeline/RandomSource.h"

#include <stdexcept>

namespace dravelin {

std::unique_ptr<Scheduler> makeScheduler(const PipelineConfiguration& c) {
    constexpr int64_t kTrainSteps = 1000;
    constexpr float kBetaStart = 0.00085f;
    constexpr float kBetaEnd = 0.012f;
    if (c.schedulerType == StableDiffusionScheduler::dpmSolverMultistepScheduler) {
        return std::make_unique<DPMSolverMultistepScheduler>(c.stepCount, kTrainSteps,
                                                             BetaSchedule::scaledLinear, kBetaStart,
                                                             kBetaEnd, c.schedulerTimestepSpacing);
    }
    return std::make_unique<PNDMScheduler>(c.stepCount, kTrainSteps, BetaSchedule::scaledLinear,
                                           kBetaStart, kBetaEnd);
}

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

    const ShapedArray promptEmbedding = textEncoder->encode(c.prompt);
    const ShapedArray negativeEmbedding = textEncoder->encode(c.negativePrompt);
    if (reduceMemory) {
        textEncoder->unloadResources();
    }
    // Guidance batches are [negative prompt, prompt].
    const std::vector<ShapedArray> embeddings{negativeEmbedding, promptEmbedding};
    ShapedArray joined = ShapedArray::concatenate(embeddings, 0);
    const ShapedArray hiddenStates =
        useMultilingualTextEncoder ? std::move(joined) : toHiddenStates(joined);

    std::vector<ShapedArray> latents = generateLatentSamples(c, *schedulers.front());
    std::vector<ShapedArray> denoised = latents;
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

    const std::vector<int> timesteps = schedulers.front()->calculateTimesteps(strength);
    // Progress reports carry a copy of this pipeline, made once per run.
    const auto self = std::make_shared<StableDiffusionPipeline>(*this);
    std::vector<ShapedArray> inputs(latents.size());
    for (size_t step = 0; step < timesteps.size(); ++step) {
        const int t = timesteps[step];
        for (size_t i = 0; i < latents.size(); ++i) {
            const std::vector<ShapedArray> pair{latents[i], latents[i]};
            inputs[i] = ShapedArray::concatenate(pair, 0);
        }
        std::optional<std::vector<Residuals>> residuals;
        if (controlNet) {
            residuals = controlNet->execute(inputs, t, hiddenStates, controlNetConditioning);
        }
        std::vector<ShapedArray> noise = unet.predictNoise(inputs, t, hiddenStates, residuals);
        noise = performGuidance(noise, c.guidanceScale);

        for (size_t i = 0; i < latents.size(); ++i) {
            Scheduler& scheduler = *schedulers[i];
            latents[i] = scheduler.step(noise[i], t, latents[i]);
            denoised[i] =
                scheduler.modelOutputs().empty() ? latents[i] : scheduler.modelOutputs().back();
        }

        const PipelineProgress progress{self,
                                        c.prompt,
                                        static_cast<int64_t>(step),
                                        static_cast<int64_t>(timesteps.size()),
                                        c.useDenoisedIntermediates ? denoised : latents,
                                        c};
        if (!progressHandler(progress)) {
            return {};
        }
    }

    if (reduceMemory) {
        if (controlNet) {
            controlNet->unloadResources();
        }
        unet.unloadResources();
    }
    return decodeToImages(denoised, c);
}

std::vector<ShapedArray>
StableDiffusionPipeline::generateLatentSamples(const PipelineConfiguration& c,
                                               const Scheduler& scheduler) {
    Shape shape = unet.latentSampleShape();
    if (shape.empty()) {
        throw std::invalid_argument("The denoising network's \"sample\" input has no shape.");
    }
    shape[0] = 1;
    const double sigma = scheduler.initNoiseSigma();
    std::unique_ptr<RandomSource> random = makeRandomSource(c.rngType, c.seed);
    std::vector<ShapedArray> noise;
    for (int64_t i = 0; i < c.imageCount; ++i) {
        const NormalArray drawn = random->normalShapedArray(shape, 0.0, sigma);
        noise.push_back(ShapedArray::fromDoubles(drawn.values, shape));
    }
    if (c.mode() != PipelineMode::imageToImage) {
        return noise;
    }
    if (!encoder) {
        throw PipelineError(PipelineError::Case::startingImageProvidedWithoutEncoder);
    }
    const ShapedArray latent = encoder->encode(*c.startingImage, c.encoderScaleFactor, *random);
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
