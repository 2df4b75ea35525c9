#include "pipeline/StartingLatents.h"

#include "pipeline/Encoder.h"
#include "pipeline/ImageConversion.h"
#include "pipeline/InpaintingMask.h"
#include "pipeline/PipelineError.h"
#include "random/RandomSource.h"
#include "schedulers/Scheduler.h"

#include <stdexcept>
#include <string>

namespace dravelin {

namespace {

constexpr int64_t kInpaintingChannels = 9;
constexpr int64_t kLatentChannels = 4;

std::vector<ShapedArray> drawNoise(const PipelineConfiguration& c, const Shape& shape,
                                   double stdev, RandomSource& random) {
    std::vector<ShapedArray> noise;
    for (int64_t i = 0; i < c.imageCount; ++i) {
        const NormalArray drawn = random.normalShapedArray(shape, 0.0, stdev);
        noise.push_back(ShapedArray::fromDoubles(drawn.values, shape));
    }
    return noise;
}

std::string sizeText(const Image& image) {
    return std::to_string(image.width()) + " × " + std::to_string(image.height());
}

} // namespace

bool takesInpaintingInputs(const Shape& sampleShape) {
    return sampleShape.size() == 4 && sampleShape[1] == kInpaintingChannels;
}

Shape latentShapeFor(const Shape& sampleShape) {
    if (sampleShape.empty()) {
        throw std::invalid_argument("The denoising network's \"sample\" input has no shape.");
    }
    Shape shape = sampleShape;
    shape[0] = 1;
    if (takesInpaintingInputs(sampleShape)) {
        shape[1] = kLatentChannels;
    }
    return shape;
}

StartingLatents startingLatents(const PipelineConfiguration& c, const Scheduler& scheduler,
                                const Shape& sampleShape, Encoder* encoder,
                                RandomSource& random) {
    const Shape shape = latentShapeFor(sampleShape);
    const bool networkTakesMask = takesInpaintingInputs(sampleShape);
    const PipelineMode mode = c.mode();
    if (networkTakesMask && mode != PipelineMode::inpainting) {
        throw std::invalid_argument(
            "This model's denoising network is an inpainting network: it needs a starting image "
            "and a mask of the part to repaint.");
    }
    const double sigma = scheduler.initNoiseSigma();
    if (mode == PipelineMode::textToImage) {
        return {drawNoise(c, shape, sigma, random), std::nullopt};
    }
    if (c.startingLatent) {
        // Latents given: the noise is drawn as for an image, and no encoder runs.
        if (mode != PipelineMode::imageToImage || c.startingImage) {
            throw std::invalid_argument("Starting latents are for image-to-image alone, without "
                                        "a starting image or a mask.");
        }
        if (c.startingLatent->shape() != shape) {
            throw std::invalid_argument("The starting latents are " +
                                        describe(c.startingLatent->shape()) +
                                        ", but the denoising network works on " + describe(shape) +
                                        ".");
        }
        return {scheduler.addNoise(*c.startingLatent, drawNoise(c, shape, 1.0, random),
                                   c.strength),
                std::nullopt};
    }
    if (encoder == nullptr) {
        throw PipelineError(PipelineError::Case::startingImageProvidedWithoutEncoder);
    }
    if (mode == PipelineMode::inpainting &&
        (c.maskImage->width() != c.startingImage->width() ||
         c.maskImage->height() != c.startingImage->height())) {
        throw std::invalid_argument("The mask is " + sizeText(*c.maskImage) +
                                    " pixels but the starting image is " +
                                    sizeText(*c.startingImage) + "; they must be the same size.");
    }
    std::vector<ShapedArray> noise = drawNoise(c, shape, 1.0, random);
    const ShapedArray pixels = planarRGBShapedArray(*c.startingImage, -1.0f, 1.0f);
    ShapedArray imageLatent = encoder->encode(pixels, c.encoderScaleFactor, random);
    if (mode == PipelineMode::imageToImage) {
        return {scheduler.addNoise(imageLatent, noise, c.strength), std::nullopt};
    }

    const ShapedArray mask = repaintMask(*c.maskImage);
    ShapedArray maskedLatent =
        encoder->encode(maskedImage(pixels, mask), c.encoderScaleFactor, random);
    if (imageLatent.shape() != shape) {
        throw std::invalid_argument("The image encoder gives latents " +
                                    describe(imageLatent.shape()) +
                                    ", but the denoising network works on " + describe(shape) + ".");
    }
    std::vector<ShapedArray> latents;
    if (c.strength >= 1.0f) {
        const auto scale = static_cast<float>(sigma);
        for (const ShapedArray& n : noise) {
            latents.push_back(weightedSum({scale}, {n}));
        }
    } else {
        latents = scheduler.addNoise(imageLatent, noise, c.strength);
    }
    InpaintingBlend blend(std::move(imageLatent), std::move(maskedLatent),
                          latentMask(mask, shape[2], shape[3]), std::move(noise),
                          networkTakesMask);
    return {std::move(latents), std::move(blend)};
}

} // namespace dravelin
