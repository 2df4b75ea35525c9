// Image-to-image and inpainting on a tiny model of the real architectures
// against diffusers' own pipelines (tools/reference/image_input_reference.py):
// the same draws, the shortened schedule, the mask's reading, the 9-channel
// input and the per-step blend must give the reference's image to within 2
// levels of 8 bits.

#include "nn/support/NetworkFixtures.h"
#include "pipeline/StableDiffusionPipeline.h"
#include "runtime/Safetensors.h"
#include "support/TestNetworks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace dravelin;
using namespace dravelin::testing;

namespace {

Image imageFrom(const ShapedArray& hwc) {
    const Shape& shape = hwc.shape();
    std::vector<uint8_t> pixels(static_cast<size_t>(hwc.count()));
    for (int64_t i = 0; i < hwc.count(); ++i) {
        pixels[static_cast<size_t>(i)] = static_cast<uint8_t>(hwc.data()[i]);
    }
    return Image(static_cast<int>(shape[1]), static_cast<int>(shape[0]),
                 static_cast<int>(shape[2]), AlphaKind::none, std::move(pixels));
}

class ImageInputReference : public ::testing::Test {
protected:
    TemporaryDirectory directory;
    std::filesystem::path model = directory.path() / "model";
    std::map<std::string, ShapedArray> inputs = loadFixture("ImageInputs/inputs");

    void makeModel(const std::string& unet) {
        std::filesystem::create_directories(model);
        for (const char* file : {"vocab.json", "merges.txt"}) {
            std::filesystem::copy(fixturesDirectory() / "ImageInputs" / file, model / file);
        }
        for (const char* bundle : {"TextEncoder", "VAEDecoder", "VAEEncoder"}) {
            copyBundle(std::string("ImageInputs/") + bundle, model, bundle);
        }
        copyBundle("ImageInputs/" + unet, model, "Unet");
    }

    PipelineConfiguration configuration(uint32_t seed, float strength, bool masked) const {
        PipelineConfiguration c("a cat");
        c.negativePrompt = "dog";
        c.stepCount = 6;
        c.seed = seed;
        c.strength = strength;
        c.startingImage = imageFrom(inputs.at("image"));
        if (masked) {
            c.maskImage = imageFrom(inputs.at("mask"));
        }
        c.useDenoisedIntermediates = true;
        return c;
    }

    // Runs the pipeline and compares the decoded estimate and the image.
    void expectReference(const PipelineConfiguration& c, const std::string& name) {
        const std::map<std::string, ShapedArray> expected = loadFixture("ImageInputs/" + name);
        StableDiffusionPipeline pipeline(model, {}, {}, /*disableSafety=*/true, false);
        ShapedArray denoised;
        const GeneratedImages images = pipeline.generateImages(c, [&](const PipelineProgress& p) {
            denoised = p.currentLatentSamples.front();
            return true;
        });
        ASSERT_EQ(images.size(), 1u);
        EXPECT_TRUE(closeTo(denoised, expected.at("denoised"), 2e-4f));
        const ShapedArray& pixels = expected.at("pixels"); // [1, 3, H, W]
        const Image& image = *images.front();
        const int64_t plane = int64_t{image.width()} * image.height();
        ASSERT_EQ(pixels.count(), plane * 3);
        float worst = 0.0f;
        for (int64_t i = 0; i < plane; ++i) {
            for (int64_t channel = 0; channel < 3; ++channel) {
                const float ours = image.pixels()[static_cast<size_t>(i * 3 + channel)];
                worst = std::max(worst, std::fabs(ours - pixels.data()[channel * plane + i]));
            }
        }
        EXPECT_LE(worst, 2.0f) << name;
        RecordProperty(name + "_largest_level_difference", std::to_string(worst));
        RecordProperty(name + "_largest_latent_difference",
                       std::to_string(largestDifference(denoised, expected.at("denoised"))));
    }
};

} // namespace

TEST_F(ImageInputReference, ImageToImageMatchesDiffusers) {
    makeModel("Unet");
    expectReference(configuration(11, 0.6f, false), "ImageToImage");
}

TEST_F(ImageInputReference, InpaintingWithARegularNetworkMatchesDiffusers) {
    makeModel("Unet");
    expectReference(configuration(12, 0.75f, true), "InpaintingRegular");
}

TEST_F(ImageInputReference, InpaintingNetworkMatchesDiffusers) {
    makeModel("InpaintingUnet");
    expectReference(configuration(13, 0.75f, true), "InpaintingNetwork");
    expectReference(configuration(14, 1.0f, true), "InpaintingNetworkFromNoise");
}

// A model installed as the application downloads it has no VAEEncoder.model:
// its decoder bundle holds the whole autoencoder, whose encoder half then
// serves image-to-image with the same result.
TEST_F(ImageInputReference, TheDecodersBundleServesAsTheEncoderWhenItHoldsBothHalves) {
    makeModel("Unet");
    const std::filesystem::path encoder = model / "VAEEncoder.model";
    editWeights(model / "VAEDecoder.model", [&](std::vector<TensorToWrite>& tensors) {
        const SafetensorsFile file(encoder / "model.safetensors");
        for (const auto& [name, view] : file.tensors()) {
            tensors.push_back({name, view.dtype, view.shape,
                               std::vector<uint8_t>(view.bytes.begin(), view.bytes.end())});
        }
    });
    std::filesystem::remove_all(encoder);
    expectReference(configuration(11, 0.6f, false), "ImageToImage");
}
