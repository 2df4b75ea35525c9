#include "pipeline/StableDiffusionXLPipeline.h"

#include "pipeline/DenoisingLoop.h"
#include "pipeline/PipelineError.h"
#include "random/RandomSource.h"
#include "pipeline/StableDiffusionPipeline.h"
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
    if (forRefiner) {
        return textEncoder2->encode(prompt);
    }
    if (!textEncoder) {
        throw PipelineError(PipelineError::Case::startingText2ImgWithoutTextEncoder);
    }
    const TextEncodings first = textEncoder->encode(prompt);
    TextEncodings second = textEncoder2->encode(prompt);
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
    const TextEncodings prompt = encodePrompt(c.prompt, forRefiner);
    const TextEncodings negative = encodePrompt(c.negativePrompt, forRefiner);
    // Guidance batches are [negative prompt, prompt].
    const std::vector<ShapedArray> hidden{negative.hiddenEmbeddings, prompt.hiddenEmbeddings};
    const std::vector<ShapedArray> pooled{negative.pooledOutputs, prompt.pooledOutputs};
    ShapedArray geometry = forRefiner ? refinerGeometryConditioning(c)
                                      : baseGeometryConditioning(c, timeIdShape.size() <= 1);
    return {toHiddenStates(ShapedArray::concatenate(hidden, 0)),
            ShapedArray::concatenate(pooled, 0), std::move(geometry)};
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
    if (reduceMemory) {
        if (textEncoder) {
            textEncoder->unloadResources();
        }
        textEncoder2->unloadResources();
    }

    std::vector<std::unique_ptr<Scheduler>> schedulers;
    for (int64_t i = 0; i < c.imageCount; ++i) {
        schedulers.push_back(makeScheduler(c));
    }

    // One random source serves the starting noise and any noise the
    // schedulers add between steps.
    const std::unique_ptr<RandomSource> random = makeRandomSource(c.rngType, c.seed);
    std::vector<ShapedArray> latents = generateLatentSamples(c, *schedulers.front(), *random);
    if (reduceMemory && encoder) {
        encoder->unloadResources();
    }

    const std::optional<float> strength =
        c.mode() == PipelineMode::imageToImage ? std::optional<float>(c.strength) : std::nullopt;

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
        }
        const ModelInputs& current = **conditioning;
        return performGuidance(network->predictNoise(inputs, t, current.hiddenStates,
                                                     current.pooledStates,
                                                     current.geometryConditioning),
                               c.guidanceScale);
    };
    // Progress reports carry a copy of this pipeline, made once per run.
    const auto self = std::make_shared<StableDiffusionXLPipeline>(*this);
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
